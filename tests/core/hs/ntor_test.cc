// hs-ntor and INTRODUCE1: the published handshake vectors, the inputs that
// build no INTRODUCE1, and every way the service's answer can fail to prove
// itself.
#include <gtest/gtest.h>

#include "base/test_support.h"
#include "mistgrove_core/crypto.h"
#include "hs/ntor.h"
#include "mistgrove_core/hs.h"

namespace mistgrove_core::hs {
namespace {

using mistgrove_test::error_of;
using mistgrove_test::hex;
using util::concat;

// rend-spec-v3 appendix G.1 and the hop of its key seed, from
// tools/vectors/hs_ntor_keys.py.
Bytes vector(const std::string& name) {
  static const auto records = mistgrove_test::load_records("hs_ntor_vectors.txt");
  for (const auto& r : records)
    if (r.kind() == name) return r.bytes(1);
  throw std::invalid_argument("no vector " + name);
}
const Bytes kAuthKey = vector("auth_key"), kEncKey = vector("enc_key");
const Bytes kSubcredential = vector("subcredential");
const Bytes kHandshake = concat({vector("server_public"), vector("auth_input_mac")});

IntroductionPoint vector_point() { return {{}, {}, kAuthKey, kEncKey}; }

Introduce1 vector_introduce1() {
  return encrypt_introduce1(vector_point(), vector("plaintext"), kSubcredential,
                            vector("client_secret"));
}

directory::Relay rendezvous_relay() {
  directory::Relay relay;
  relay.address = "10.1.2.3";
  relay.or_port = 443;
  relay.rsa_identity = Bytes(20, 0x22);
  relay.ed25519_id = Bytes(32, 0x33);
  relay.ntor_onion_key = Bytes(32, 0x44);
  return relay;
}

const directory::HsPeriodKeys kKeys{Bytes(32, 0x55), kSubcredential};

Bytes part(ByteView bytes, std::size_t offset, std::size_t len) {
  return concat({bytes.subspan(offset, len)});
}

TEST(HsNtor, KnownAnswers) {
  Introduce1 intro = vector_introduce1();
  EXPECT_EQ(intro.body, vector("introduce1_body"));
  EXPECT_EQ(intro.state.client_public, vector("client_public"));
  EXPECT_TRUE(intro.state.key_seed.empty());

  // Bytes after the 64 of Y and AUTH are not read.
  crypto::RelayCrypto hop = finish_hs_ntor(intro.state, concat({kHandshake, Bytes(36, 0xEE)}));
  EXPECT_EQ(intro.state.key_seed, vector("ntor_key_seed"));
  EXPECT_EQ(part(hop.encrypt_relay(2, 1, util::text_bytes("hello")), 0, 32),
            vector("hop_client_start"));
  const Bytes received = hop.backward.apply(vector("hop_service_body"));
  EXPECT_TRUE(hop.recognize_decrypted(received));
  EXPECT_EQ(part(received, 11, 5), util::from_string("world"));
}

TEST(FinishHsNtor, Failures) {
  using Change = void (*)(HsNtorState&, Bytes & handshake);
  const struct {
    const char* name;
    Change change;
    const char* message;
  } kCases[] = {
      {"63 bytes", [](HsNtorState&, Bytes& h) { h.pop_back(); }, "RENDEZVOUS2 handshake too short"},
      {"Y all zero", [](HsNtorState&, Bytes& h) { std::fill_n(h.begin(), 32, 0); },
       "hs-ntor shared secret is all zero"},
      {"AUTH", [](HsNtorState&, Bytes& h) { h[40] ^= 0x01; }, "RENDEZVOUS2 hs-ntor auth mismatch"},
      {"Y", [](HsNtorState&, Bytes& h) { h[5] ^= 0x10; }, "RENDEZVOUS2 hs-ntor auth mismatch"},
      {"enc key", [](HsNtorState& s, Bytes&) { s.enc_key[31] ^= 0x02; },
       "RENDEZVOUS2 hs-ntor auth mismatch"},
      {"EXP(B,x)", [](HsNtorState& s, Bytes&) { s.secret_xb[16] ^= 0x01; },
       "RENDEZVOUS2 hs-ntor auth mismatch"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    Introduce1 intro = vector_introduce1();
    Bytes handshake = kHandshake;
    c.change(intro.state, handshake);
    EXPECT_EQ(error_of([&] { finish_hs_ntor(intro.state, handshake); }), c.message);
    EXPECT_TRUE(intro.state.key_seed.empty());
  }
}

TEST(BuildIntroduce1, Failures) {
  using Change = void (*)(IntroductionPoint&, directory::Relay&, Bytes & cookie);
  const struct {
    const char* name;
    Change change;
    const char* message;
  } kCases[] = {
      {"19-byte cookie", [](auto&, auto&, Bytes& c) { c.resize(19); }, "bad rendezvous cookie"},
      {"no ntor key", [](auto&, directory::Relay& r, auto&) { r.ntor_onion_key.clear(); },
       "rendezvous relay missing ntor key"},
      {"host name", [](auto&, directory::Relay& r, auto&) { r.address = "rp.example"; },
       "relay has non-IPv4 address"},
      {"enc key zero", [](IntroductionPoint& p, auto&, auto&) { p.enc_key.assign(32, 0); },
       "hs-ntor shared secret is all zero"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    IntroductionPoint point = vector_point();
    directory::Relay relay = rendezvous_relay();
    Bytes cookie(20, 0x11);
    c.change(point, relay, cookie);
    EXPECT_EQ(error_of([&] { build_introduce1(point, relay, cookie, kKeys); }), c.message);
  }
}

// Padding makes the body's size say nothing of the rendezvous point's link
// specifiers: header 56, X 32, the 246-byte plaintext, MAC 32.
TEST(BuildIntroduce1, FreshSecretAndFixedSize) {
  directory::Relay no_ed = rendezvous_relay();
  no_ed.ed25519_id.clear();
  const Introduce1 a = build_introduce1(vector_point(), rendezvous_relay(), Bytes(20, 1), kKeys);
  const Introduce1 b = build_introduce1(vector_point(), no_ed, Bytes(20, 1), kKeys);
  EXPECT_NE(a.state.client_secret, b.state.client_secret);
  EXPECT_EQ(a.body.size(), 366u);
  EXPECT_EQ(b.body.size(), 366u);
}

}  // namespace
}  // namespace mistgrove_core::hs
