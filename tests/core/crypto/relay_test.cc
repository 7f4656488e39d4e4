// Per-hop relay cryptography: the sequences of tools/vectors/crypto_vectors.py
// and the state rules those sequences cannot show.
#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>

#include "base/test_support.h"
#include "mistgrove_core/crypto.h"

namespace mistgrove_core::crypto {
namespace {

using mistgrove_test::error_of;

RelayCrypto sha1_hop() { return {Bytes(20, 1), Bytes(20, 2), Bytes(16, 3), Bytes(16, 4), false}; }

// Every forward body must match byte for byte, every backward body must be
// judged as stated; a refused body must leave the digest for the next one.
TEST(RelayCrypto, KnownAnswerSequences) {
  std::optional<RelayCrypto> hop;
  int checked = 0;
  for (const auto& r : mistgrove_test::load_records("crypto_vectors.txt")) {
    if (r.kind() == "relay") {
      hop.emplace(r.bytes(2), r.bytes(3), r.bytes(4), r.bytes(5), r.text(1) == "sha3");
    } else if (r.kind() == "forward") {
      SCOPED_TRACE(++checked);
      EXPECT_EQ(hop->encrypt_relay(static_cast<u8>(r.number(1)), static_cast<u16>(r.number(2)),
                                   r.bytes(3)),
                r.bytes(4));
    } else if (r.kind() == "backward") {
      SCOPED_TRACE(++checked);
      EXPECT_EQ(hop->recognize_decrypted(hop->backward.apply(r.bytes(1))), r.number(2) == 1);
    }
  }
  EXPECT_EQ(checked, 18);
}

// An oversized payload and malformed bodies leave the digests as they were.
TEST(RelayCrypto, RefusalsChangeNothing) {
  RelayCrypto hop = sha1_hop(), twin = sha1_hop();
  EXPECT_EQ(error_of([&] { hop.encrypt_relay(2, 1, Bytes(499)); }), "relay payload too large");
  EXPECT_EQ(hop.encrypt_relay(2, 1, Bytes(10, 1)), twin.encrypt_relay(2, 1, Bytes(10, 1)));
  Bytes recognized_set(kRelayBodyLen, 0);
  recognized_set[2] = 1;
  const Bytes before = hop.backward_digest.current();
  for (const Bytes& body : {Bytes(508, 0), Bytes(510, 0), recognized_set})
    EXPECT_FALSE(hop.recognize_decrypted(body)) << body.size();
  EXPECT_EQ(hop.backward_digest.current(), before);
}

TEST(RelayCrypto, KeyOfWrongLengthIsAProgrammingFault) {
  try {
    RelayCrypto(Bytes(20, 1), Bytes(20, 2), Bytes(24), Bytes(16, 4), false);
    FAIL();
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(), R"(valid relay AES key length: Error { message: "aes setkey failed" })");
  }
}

}  // namespace
}  // namespace mistgrove_core::crypto
