#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "base/test_support.h"
#include "mistgrove_core/crypto.h"
#include "mistgrove_core/error.h"

namespace mistgrove_core::crypto {
namespace {

using mistgrove_test::hex;

const Bytes kDf(20, 1), kDb(20, 2), kKf(16, 3), kKb(16, 4);

RelayCrypto sha1_hop() { return RelayCrypto(kDf, kDb, kKf, kKb, false); }

// The plain body of an encrypt_relay result: the hop's forward keystream
// replayed from the same position.
struct ForwardPeer {
  AesCtr stream{kKf, Bytes(16, 0)};
  Bytes open(ByteView body) { return stream.apply(body); }
};

// Runs the sequences of tools/vectors/crypto_vectors.py: every forward body
// must match byte for byte, every backward body must be judged as stated.
TEST(RelayCrypto, KnownAnswerSequences) {
  std::unique_ptr<RelayCrypto> hop;
  int checked = 0;
  for (const auto& r : mistgrove_test::load_records("crypto_vectors.txt")) {
    if (r.kind() == "relay") {
      hop = std::make_unique<RelayCrypto>(r.bytes(2), r.bytes(3), r.bytes(4), r.bytes(5),
                                          r.text(1) == "sha3");
      continue;
    }
    if (r.kind() != "forward" && r.kind() != "backward") continue;
    SCOPED_TRACE(r.kind() + " #" + std::to_string(++checked));
    ASSERT_TRUE(hop);
    if (r.kind() == "forward") {
      EXPECT_EQ(hop->encrypt_relay(static_cast<u8>(r.number(1)), static_cast<u16>(r.number(2)),
                                   r.bytes(3)),
                r.bytes(4));
    } else {
      const Bytes body = hop->backward.apply(r.bytes(1));
      EXPECT_EQ(hop->recognize_decrypted(body), r.number(2) == 1);
    }
  }
  EXPECT_EQ(checked, 18);
}

TEST(RelayCrypto, BodyLayout) {
  struct Case {
    std::size_t data_len;
    const char* header;  // bytes 9-10
  };
  static const Case kCases[] = {{498, "01f2"}, {0, "0000"}, {1, "0001"}};
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.data_len);
    RelayCrypto hop = sha1_hop();
    ForwardPeer peer;
    const Bytes data(c.data_len, 0xEE);
    const Bytes body = peer.open(hop.encrypt_relay(2, 0xABCD, data));
    ASSERT_EQ(body.size(), kRelayBodyLen);
    EXPECT_EQ(body[0], 2);
    EXPECT_EQ(Bytes(body.begin() + 1, body.begin() + 5), hex("0000abcd"));
    EXPECT_EQ(Bytes(body.begin() + 9, body.begin() + 11), hex(c.header));
    EXPECT_EQ(Bytes(body.begin() + 11, body.begin() + 11 + c.data_len), data);
    EXPECT_EQ(Bytes(body.begin() + 11 + c.data_len, body.end()), Bytes(498 - c.data_len, 0));
    // The digest field is SHA-1 over the seed and the body with that field zeroed.
    Bytes zeroed = body;
    std::fill(zeroed.begin() + 5, zeroed.begin() + 9, 0);
    Bytes seeded = kDf;
    seeded.insert(seeded.end(), zeroed.begin(), zeroed.end());
    const Bytes digest = sha1(seeded);
    EXPECT_EQ(Bytes(body.begin() + 5, body.begin() + 9), Bytes(digest.begin(), digest.begin() + 4));
  }
}

TEST(RelayCrypto, OversizedPayloadChangesNothing) {
  RelayCrypto hop = sha1_hop(), twin = sha1_hop();
  try {
    hop.encrypt_relay(2, 1, Bytes(499));
    FAIL();
  } catch (const error::Error& e) {
    EXPECT_STREQ(e.what(), "relay payload too large");
  }
  EXPECT_EQ(hop.encrypt_relay(2, 1, Bytes(10, 1)), twin.encrypt_relay(2, 1, Bytes(10, 1)));
}

TEST(RelayCrypto, DigestRunsOverEveryBody) {
  RelayCrypto hop = sha1_hop();
  ForwardPeer peer;
  const Bytes first = peer.open(hop.encrypt_relay(2, 1, Bytes(5, 9)));
  const Bytes second = peer.open(hop.encrypt_relay(2, 1, Bytes(5, 9)));
  EXPECT_EQ(Bytes(first.begin(), first.begin() + 5), Bytes(second.begin(), second.begin() + 5));
  EXPECT_NE(Bytes(first.begin() + 5, first.begin() + 9),
            Bytes(second.begin() + 5, second.begin() + 9));
}

TEST(RelayCrypto, RejectedBodiesLeaveTheDigestAlone) {
  Bytes valid(kRelayBodyLen, 0);
  struct Case {
    const char* name;
    Bytes body;
  };
  auto with = [&](std::size_t at, u8 v) {
    Bytes b = valid;
    b[at] = v;
    return b;
  };
  const Case kCases[] = {
      {"508 bytes", Bytes(508, 0)},      {"510 bytes", Bytes(510, 0)},
      {"recognized byte 1", with(1, 1)}, {"recognized byte 2", with(2, 1)},
      {"wrong digest", with(5, 0x55)},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    RelayCrypto hop = sha1_hop();
    const Bytes before = hop.backward_digest.current();
    EXPECT_FALSE(hop.recognize_decrypted(c.body));
    EXPECT_EQ(hop.backward_digest.current(), before);
  }
}

TEST(RelayCrypto, RecognizesWhatTheHopBuilt) {
  // A relay's forward state is our backward one: build with a crypto whose
  // forward side uses our backward seeds and key.
  for (bool sha3 : {false, true}) {
    SCOPED_TRACE(sha3);
    const std::size_t seed_len = sha3 ? 32 : 20, key_len = sha3 ? 32 : 16;
    const Bytes db(seed_len, 5), kb(key_len, 6), other(seed_len, 7), other_key(key_len, 8);
    RelayCrypto client(other, db, other_key, kb, sha3);
    RelayCrypto relay(db, other, kb, other_key, sha3);
    for (int i = 0; i < 3; ++i) {
      const Bytes body = client.backward.apply(relay.encrypt_relay(2, 1, Bytes(100, u8(i))));
      EXPECT_TRUE(client.recognize_decrypted(body));
    }
    EXPECT_EQ(client.backward_digest.current(), relay.forward_digest.current());
  }
}

TEST(RelayCrypto, KeyOfWrongLengthIsAProgrammingFault) {
  try {
    RelayCrypto(kDf, kDb, Bytes(24), kKb, false);
    FAIL();
  } catch (const error::Error&) {
    FAIL() << "must not be an Error";
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(), R"(valid relay AES key length: Error { message: "aes setkey failed" })");
  }
}

TEST(DigestState, ReadingDoesNotEndTheComputation) {
  for (auto [kind, hash] :
       {std::pair{DigestState::Kind::Sha1, &sha1}, std::pair{DigestState::Kind::Sha3, &sha3_256}}) {
    const Bytes seed = hex("0102"), body(kRelayBodyLen, 3);
    DigestState d(kind, seed);
    EXPECT_EQ(d.current(), hash(seed));
    DigestState copy = d;
    d.update(body);
    Bytes all = seed;
    all.insert(all.end(), body.begin(), body.end());
    EXPECT_EQ(d.current(), hash(all));
    EXPECT_EQ(d.current(), hash(all));
    EXPECT_EQ(copy.current(), hash(seed));  // copies are independent
    copy = d;
    EXPECT_EQ(copy.current(), hash(all));
  }
}

}  // namespace
}  // namespace mistgrove_core::crypto
