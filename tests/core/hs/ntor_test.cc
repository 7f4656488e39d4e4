// hs-ntor, INTRODUCE1, the introduction point's relay record and INTRODUCE_ACK.
#include "hs/ntor.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "base/test_support.h"
#include "hs/rendezvous.h"

namespace mistgrove_core::hs {
namespace {

using namespace mistgrove_test;
using util::concat;

Bytes vector(const char* name) { return load_records("hs_ntor_vectors.txt", name)[0].bytes(1); }
const Bytes kSubcredential = vector("subcredential");
const Bytes kHandshake = concat({vector("server_public"), vector("auth_input_mac")});
const IntroductionPoint kPoint{{}, {}, vector("auth_key"), vector("enc_key")};

Introduce1 vector_introduce1() {
  return encrypt_introduce1(kPoint, vector("plaintext"), kSubcredential, vector("client_secret"));
}

TEST(HsNtor, KnownAnswers) {
  Introduce1 intro = vector_introduce1();
  // Bytes after the 64 of Y and AUTH are not read.
  crypto::RelayCrypto hop = finish_hs_ntor(intro.state, concat({kHandshake, Bytes(36, 0xEE)}));
  const Bytes sent = hop.encrypt_relay(2, 1, util::text_bytes("hello")),
              received = hop.backward.apply(vector("hop_service_body"));
  EXPECT_TRUE(hop.recognize_decrypted(received));
  EXPECT_EQ(concat({intro.body, intro.state.client_public, intro.state.key_seed,
                    ByteView(sent).first(32), ByteView(received).subspan(11, 5)}),
            concat({vector("introduce1_body"), vector("client_public"), vector("ntor_key_seed"),
                    vector("hop_client_start"), util::from_string("world")}));
}

TEST(FinishHsNtor, Failures) {
  for (const auto& c : load_records("hs_cases.txt", "finish_hs_ntor")) {
    Introduce1 intro = vector_introduce1();
    Bytes handshake = kHandshake, mask = c.bytes(3);
    Bytes& field = c.text(1) == "handshake" ? handshake
                   : c.text(1) == "enc_key" ? intro.state.enc_key
                                            : intro.state.secret_xb;
    if (mask.empty()) field.resize(c.number(2));
    for (std::size_t i = 0; i < mask.size(); ++i) field.at(c.number(2) + i) ^= mask[i];
    EXPECT_EQ(error_of([&] { finish_hs_ntor(intro.state, handshake); }), c.last()) << c.text(2);
    EXPECT_TRUE(intro.state.key_seed.empty());
  }
}

// Padded so that the size hides the link specifiers: header 56, X 32, 246, MAC 32.
TEST(BuildIntroduce1, FailuresFreshSecretAndFixedSize) {
  Bytes previous;  // each build draws a fresh secret
  for (const auto& c : load_records("hs_cases.txt", "introduce1")) {
    directory::Relay rp;
    rp.address = c.text(2), rp.or_port = 443, rp.rsa_identity = Bytes(20, 0x22);
    rp.ntor_onion_key = c.bytes(3), rp.ed25519_id = c.bytes(4);
    IntroductionPoint point = kPoint;
    if (c.text(5) != "vector") point.enc_key = c.bytes(5);
    EXPECT_EQ(error_of([&] {
                const Introduce1 intro =
                    build_introduce1(point, rp, c.bytes(1), {Bytes(32, 0x55), kSubcredential});
                EXPECT_EQ(intro.body.size(), 366u);
                EXPECT_NE(intro.state.client_secret, previous);
                previous = intro.state.client_secret;
              }),
              c.last());
  }
}

TEST(IntroductionPoint, RelayRecordAndIntroduceAck) {
  for (const auto& c : load_records("hs_cases.txt", "intro_point")) {
    const IntroductionPoint point{
        directory::parse_link_specifiers(c.bytes(1)), Bytes(c.number(2), 0x11), {}, {}};
    EXPECT_EQ(outcome([&] {
                const directory::Relay r = intro_point_relay(point);
                EXPECT_EQ(r.ntor_onion_key, point.onion_key);
                return fmt::format("{}:{} {:02x} {:02x}", r.address, r.or_port, r.rsa_identity[0],
                                   r.ed25519_id[0]);
              }),
              c.last());
  }
  for (const auto& c : load_records("hs_cases.txt", "introduce_ack"))
    EXPECT_EQ(error_of([&] { check_introduce_ack(c.bytes(1)); }), c.last());
}

}  // namespace
}  // namespace mistgrove_core::hs
