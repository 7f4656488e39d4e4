// TorChannel against the in-process peer.
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/param_build.h>
#include <pthread.h>

#include <memory>
#include <tuple>

#include "tor/fake_relay.h"

namespace mistgrove_core::tor {
namespace {

using namespace fake;

TEST(TorChannel, Handshake) {
  constexpr const char* kTimedOut = "timed out waiting for link handshake";
  // A relay answering with these versions (two bytes each) and padding cells.
  auto relay = [](Bytes versions, int padding = 0) -> Script {
    return [=](Conn& peer) { peer.link_handshake(versions, padding), peer.wait_closed(); };
  };
  // Sends `head`, then a zero byte every 50 ms until the client hangs up: no
  // single receive waits long, and the whole would take minutes.
  auto drip = [](Bytes head) -> Script {
    return [=](Conn& c) {
      for (c.read(5), c.write(head);; std::this_thread::sleep_for(ms(50))) c.write(Bytes{0});
    };
  };
  const std::tuple<const char*, Script, const char*, bool> kCases[] = {
      {"3, 4, 5", relay({0, 3, 0, 4, 0, 5}), "5", true},
      {"4 only", relay({0, 4}), "4", true},
      {"5 then 4 and an odd byte", relay({0, 5, 0, 4, 0}), "5", true},
      {"3 and 6", relay({0, 3, 0, 6}), "relay does not support link protocol 4+", true},
      {"empty", relay({}), "relay does not support link protocol 4+", true},
      {"NETINFO as the 16th cell", relay({0, 4}, 13), "4", true},
      {"NETINFO as the 17th cell", relay({0, 4}, 14), "relay did not send NETINFO", true},
      {"NETINFO with a 2-byte circuit id before VERSIONS",
       [](Conn& c) { c.read(9), c.write(concat({Bytes{0, 0, kCellNetinfo}, Bytes(509, 0)})); },
       "first Tor cell was not VERSIONS", true},
      {"plain HTTP server",
       [](Conn& c) { c.read(5), c.write(from_string("HTTP/1.0 400 Bad request\r\n\r\n")); },
       "wrong version number", false},
      {"silent before TLS", [](Conn& c) { c.wait_closed(); }, kTimedOut, false},
      {"silent after TLS", [](Conn& c) { c.wait_closed(); }, kTimedOut, true},
      {"a 16 KiB TLS record dripped", drip({22, 3, 3, 0x40, 0}), kTimedOut, false},
      {"padding cells dripped after VERSIONS", drip({0, 0, 7, 0, 2, 0, 4}), kTimedOut, true},
  };
  for (const auto& [name, script, version_or_error, tls] : kCases) {
    SCOPED_TRACE(name);
    Peer peer(script, tls);
    const auto start = std::chrono::steady_clock::now();
    // Room for a whole handshake on a busy machine, unless the relay stalls it.
    const i32 timeout_ms = std::string_view(version_or_error) == kTimedOut ? 400 : 5000;
    auto open = [&] { return TorChannel::open("127.0.0.1", peer.port, timeout_ms).link_version(); };
    EXPECT_EQ(mistgrove_test::outcome([&] { return std::to_string(open()); }), version_or_error);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  }
}

// The relay's key: RSA of 2048 to 8192 bits or another type, whichever TLS
// version signs the handshake with it. Any other ends the TLS handshake before
// the relay's end completes.
TEST(TorChannel, RelayKeySize) {
  // The relay's certificate file, how many certificates it sends after the leaf, the outcome.
  const std::tuple<const char*, int, const char*> kCases[] = {
      {"fake_relay.pem", 0, "5"},  // 2048 bits
      {"fake_relay_rsa8192.pem", 0, "5"},
      {"fake_relay_p256.pem", 0, "5"},  // not RSA: not bounded
      // Only the leaf's key signs the handshake: its RSA-1024 issuer is not judged.
      {"fake_relay_rsa1024_issuer.pem", 1, "5"},
      {"fake_relay_rsa1024.pem", 0, "relay RSA key of 1024 bits is outside 2048 to 8192 bits"},
      {"fake_relay_rsa8704.pem", 0, "relay RSA key of 8704 bits is outside 2048 to 8192 bits"},
  };
  for (const auto& [pem, issuers, version_or_error] : kCases) {
    for (const int tls_version : {TLS1_2_VERSION, TLS1_3_VERSION}) {
      SCOPED_TRACE(
          fmt::format("{} over TLS {}", pem, tls_version == TLS1_2_VERSION ? "1.2" : "1.3"));
      bool relay_done = false;  // its TLS handshake, in that version, with its whole chain
      {
        Peer peer(
            [&](Conn& c) {
              STACK_OF(X509)* chain = nullptr;
              SSL_get0_chain_certs(c.ssl, &chain);
              relay_done =
                  SSL_version(c.ssl) == tls_version && (chain ? sk_X509_num(chain) : 0) == issuers;
              c.link_handshake(), c.wait_closed();
            },
            true, presenting(pem, tls_version));
        // A long key's signature takes the relay a while on a busy machine.
        auto open = [&] { return TorChannel::open("127.0.0.1", peer.port, 10000).link_version(); };
        EXPECT_EQ(mistgrove_test::outcome([&] { return std::to_string(open()); }),
                  version_or_error);
      }
      EXPECT_EQ(relay_done, std::string_view(version_or_error) == "5");
    }
  }
}

// An RSA public key made from a modulus alone: 2^(bits - 1), or 0 for 0 bits.
std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> rsa_key_of_bits(int bits) {
  std::unique_ptr<BIGNUM, decltype(&BN_free)> n(BN_new(), BN_free), e(BN_new(), BN_free);
  std::unique_ptr<OSSL_PARAM_BLD, decltype(&OSSL_PARAM_BLD_free)> build(OSSL_PARAM_BLD_new(),
                                                                        OSSL_PARAM_BLD_free);
  std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(
      EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr), EVP_PKEY_CTX_free);
  EVP_PKEY* key = nullptr;
  if (n && e && build && ctx && BN_set_word(e.get(), 65537) &&
      (bits == 0 || BN_set_bit(n.get(), bits - 1)) &&
      OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_N, n.get()) &&
      OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_E, e.get())) {
    std::unique_ptr<OSSL_PARAM, decltype(&OSSL_PARAM_free)> params(
        OSSL_PARAM_BLD_to_param(build.get()), OSSL_PARAM_free);
    if (params && EVP_PKEY_fromdata_init(ctx.get()) == 1)
      EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_PUBLIC_KEY, params.get());
  }
  return {key, EVP_PKEY_free};
}

// A key whose size cannot be read proves nothing of it: it is refused like
// one out of bounds.
TEST(TorChannel, RelayKeyJudgement) {
  const std::pair<int, const char*> kCases[] = {
      {0, "relay RSA key of unreadable size"},
      {1, "relay RSA key of 1 bits is outside 2048 to 8192 bits"},
      {2047, "relay RSA key of 2047 bits is outside 2048 to 8192 bits"},
      {2048, ""},
  };
  for (const auto& [bits, refusal] : kCases) {
    SCOPED_TRACE(bits);
    const auto key = rsa_key_of_bits(bits);
    ASSERT_TRUE(key);
    const int refused = refused_rsa_bits(key.get());
    EXPECT_EQ(refused == 0 ? "" : refused_key_text(refused), refusal);
  }
}

// A signal with a handler (as Python's for SIGINT) during a read: the link carries on.
TEST(TorChannel, CellFramingAndSignalDuringRead) {
  struct sigaction action{}, previous{};
  action.sa_handler = [](int) {};
  ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);  // no SA_RESTART
  Bytes written;                                         // what the peer read after the handshake
  Peer peer([&](Conn& conn) {
    conn.link_handshake();
    written = conn.read(514 + 10);
    std::this_thread::sleep_for(ms(300)), conn.write_cell(8, kCellRelay, Bytes(509, 8));
    conn.write(Bytes(5 + 100, 3));  // a fixed cell cut short, then the end
  });
  TorChannel channel = TorChannel::open("127.0.0.1", peer.port, 5000);
  const auto soon = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  EXPECT_EQ(error_of([&] { channel.write_cell(1, kCellRelay, Bytes(510, 0xab)); }),
            "fixed cell body too large");
  channel.write_cell(0x80000001, kCellCreateFast, Bytes{0xab});
  channel.write_cell(7, 128, Bytes{1, 2, 3});
  std::thread signaller([reader = pthread_self()] {
    std::this_thread::sleep_for(ms(100)), pthread_kill(reader, SIGUSR1);
  });
  EXPECT_EQ(error_of([&] { EXPECT_EQ(channel.read_cell(soon)->body, Bytes(509, 8)); }), "");
  signaller.join();
  sigaction(SIGUSR1, &previous, nullptr);
  EXPECT_EQ(error_of([&] { channel.read_cell(soon); }), "failed to fill whole buffer");
  EXPECT_EQ(written, concat({Bytes{0x80, 0, 0, 1, kCellCreateFast, 0xab}, Bytes(508, 0),
                             Bytes{0, 0, 0, 7, 128, 0, 3, 1, 2, 3}}));
}

// A relay asking for a new key in every record: each answer costs us more than
// the request cost the relay, so the socket never runs empty. Records that
// never make a cell still cannot hold a read past its deadline.
TEST(TorChannel, ReadDeadlineAmidKeyUpdates) {
  Peer peer([](Conn& conn) {
    conn.link_handshake();
    while (SSL_key_update(conn.ssl, SSL_KEY_UPDATE_REQUESTED) == 1 &&
           SSL_do_handshake(conn.ssl) == 1) {
    }
  });
  TorChannel channel = TorChannel::open("127.0.0.1", peer.port, 5000);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(channel.read_cell(start + ms(300)));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

}  // namespace
}  // namespace mistgrove_core::tor
