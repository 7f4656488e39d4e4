// hs-ntor and INTRODUCE1: the published handshake vectors, the body layout,
// and every way the service's answer can fail to prove itself.
#include <gtest/gtest.h>

#include "hs/hs_test_util.h"
#include "mistgrove_core/crypto.h"
#include "mistgrove_core/hs.h"

namespace mistgrove_core::hs {
namespace {

using testing::cat;
using testing::error_text;
using testing::hex;

// rend-spec-v3 appendix G.1.
const Bytes kAuthKey = hex("34E171E4358E501BFF21ED907E96AC6BFEF697C779D040BBAF49ACC30FC5D21F");
const Bytes kEncKey = hex("8E5127A40E83AABF6493E41F142B6EE3604B85A3961CD7E38D247239AFF71979");
const Bytes kSubcredential =
    hex("0085D26A9DEBA252263BF0231AEAC59B17CA11BAD8A218238AD6487CBAD68B57");
const Bytes kHeader =
    hex("000000000000000000000000000000000000000002002034E171E4358E501BFF"
        "21ED907E96AC6BFEF697C779D040BBAF49ACC30FC5D21F00");
const Bytes kPlaintext =
    hex("6BD364C12638DD5C3BE23D76ACA05B04E6CE932C0101000100200DE6130E4FCA"
        "C4EDDA24E21220CC3EADAE403EF6B7D11C8273AC71908DE565450300067F0000"
        "0113890214F823C4F8CC085C792E0AEE0283FE00AD7520B37D0320728D5DF39B"
        "7B7077A0118A900FF4456C382F0041300ACF9C58E51C392795EF870000000000"
        "0000000000000000000000000000000000000000000000000000000000000000"
        "000000000000000000000000000000000000000000000000000000000000");
const Bytes kClientSecret = hex("60B4D6BF5234DCF87A4E9D7487BDF3F4A69B6729835E825CA29089CFDDA1E341");
const Bytes kClientPublic = hex("BF04348B46D09AED726F1D66C618FDEA1DE58E8CB8B89738D7356A0C59111D5D");
const Bytes kEncKeyDerived =
    hex("9B8917BA3D05F3130DACCE5300C3DC27F6D012912F1C733036F822D0ED238706");
const Bytes kMacKeyDerived =
    hex("FC4058DA59D4DF61E7B40985D122F502FD59336BC21C30CAF5E7F0D4A2C38FD5");
const Bytes kBody =
    hex("000000000000000000000000000000000000000002002034E171E4358E501BFF"
        "21ED907E96AC6BFEF697C779D040BBAF49ACC30FC5D21F00BF04348B46D09AED"
        "726F1D66C618FDEA1DE58E8CB8B89738D7356A0C59111D5DADBECCCB38E37830"
        "4DCC179D3D9E437B452AF5702CED2CCFEC085BC02C4C175FA446525C1B9D5530"
        "563C362FDFFB802DAB8CD9EBC7A5EE17DA62E37DEEB0EB187FBB48C63298B0E8"
        "3F391B7566F42ADC97C46BA7588278273A44CE96BC68FFDAE31EF5F0913B9A9C"
        "7E0F173DBC0BDDCD4ACB4C4600980A7DDD9EAEC6E7F3FA3FC37CD95E5B8BFB3E"
        "35717012B78B4930569F895CB349A07538E42309C993223AEA77EF8AEA64F25D"
        "DEE97DA623F1AEC0A47F150002150455845C385E5606E41A9A199E7111D54EF2"
        "D1A51B7554D8B3692D85AC587FB9E69DF990EFB776D8");
const Bytes kServerPublic = hex("8FBE0DB4D4A9C7FF46701E3E0EE7FD05CD28BE4F302460ADDEEC9E93354EE700");
const Bytes kAuthInputMac = hex("4A92E8437B8424D5E5EC279245D5C72B25A0327ACF6DAF902079FCB643D8B208");
const Bytes kNtorKeySeed = hex("4D0C72FE8AFF35559D95ECC18EB5A36883402B28CDFD48C8A530A5A3D7D578DB");

// From tools/vectors/hs_ntor_keys.py: the end-to-end hop of that seed. The
// first 32 bytes of the client's DATA "hello" on stream 1, and the whole
// service body DATA "world" on stream 1.
const Bytes kClientBodyStart =
    hex("455e61f0e9985bead51d8a3134e097fa3fa914ead7e9e787c56329740967d6d6");
const Bytes kServiceBody =
    hex("ab9e24cf2243836d7d44a13a73ba8b2933be1127e3245128fd275c8a29f8d917181aa87383d86de31001816bf4"
        "9cc5f3"
        "d6eeb2dee09cdf7f334e5f5c5755518e500b96cb6671d327fd97edd6e741215ccb2f1bb2588031d8ae707cb333"
        "9f7807"
        "30c4383c38f9e69c32f1d5a0e6353c0ec2f002510f2b35f51e610c95eeb5f4ecd26ae3e28b0c22562682f987db"
        "500b56"
        "a37a531f370d3949f41f9acda0ea4c04401ef8208df46a05da44b5c9e69eec989183bda6a1741d2845cb752612"
        "acdae5"
        "6e0273532ad4dc4ad2b631f50945f06a47e8aa3fa1554a980c7259fe3c805d65cb1008a99a3c6be4986583ea67"
        "77b92c"
        "2496fc4bda7e8134c66e83adfca3fa16252a85317ac62d85db9e669bc6d84883c326f00c3e8a9a42b755783b11"
        "58953e"
        "038a4a6bfe5e2532104be88a981fc5b074b1d7dcc46e568a418e01c85e278f1193a800fa1fcf82441cb3c4f13b"
        "5cce1a"
        "4405ac91637b21b477d9ba0568e4433eed2b50ffb2528e723093f9cd01208edd462c29b2222d6194373c1b49e5"
        "c0bb82"
        "722afaeac512560dc96a2e2089ef32999c9cecf6c790160f0269f47663db036136d9b9b1c0cfc7572d0137569e"
        "a1ca00"
        "8d68119b03346bd2a9ffee744f2c8c50dd263286391c04bd43e18e0129c1d4ad1881cf0e9fd9726e52a23432a0"
        "611f4e"
        "b07ea56b3a27d38a744b845fe9cd3d56632a1aa2e76da062105171bcf0");

IntroductionPoint vector_point() {
  IntroductionPoint point;
  point.auth_key = kAuthKey;
  point.enc_key = kEncKey;
  return point;
}

Introduce1 vector_introduce1() {
  return encrypt_introduce1(vector_point(), kPlaintext, kSubcredential, kClientSecret);
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

directory::HsPeriodKeys period_keys() {
  directory::HsPeriodKeys keys;
  keys.blinded_key = Bytes(32, 0x55);
  keys.subcredential = kSubcredential;
  return keys;
}

Bytes part(const Bytes& bytes, std::size_t offset, std::size_t len) {
  return Bytes(bytes.begin() + offset, bytes.begin() + offset + len);
}

TEST(Introduce1, KnownAnswerBody) {
  Introduce1 intro = vector_introduce1();
  EXPECT_EQ(intro.body, kBody);
  EXPECT_EQ(intro.state.client_public, kClientPublic);
  EXPECT_TRUE(intro.state.key_seed.empty());

  // The body's ciphertext opens under the published ENC_KEY and its MAC is
  // the published MAC_KEY's over header, X and ciphertext.
  Bytes ciphertext = part(kBody, 88, kPlaintext.size());
  EXPECT_EQ(crypto::aes_ctr_crypt(kEncKeyDerived, ciphertext), kPlaintext);
  Bytes mac = crypto::tor_mac(kMacKeyDerived, cat({kHeader, kClientPublic, ciphertext}));
  EXPECT_EQ(mac, part(kBody, 88 + kPlaintext.size(), 32));
}

TEST(FinishHsNtor, KnownAnswerKeySeedAndHopKeys) {
  Introduce1 intro = vector_introduce1();
  crypto::RelayCrypto hop = finish_hs_ntor(intro.state, cat({kServerPublic, kAuthInputMac}));
  EXPECT_EQ(intro.state.key_seed, kNtorKeySeed);

  Bytes sent = hop.encrypt_relay(2, 1, testing::text_bytes("hello"));
  ASSERT_EQ(sent.size(), 509u);
  EXPECT_EQ(part(sent, 0, 32), kClientBodyStart);

  Bytes received = hop.backward.apply(kServiceBody);
  EXPECT_TRUE(hop.recognize_decrypted(received));
  EXPECT_EQ(part(received, 11, 5), cat({testing::text_bytes("world")}));
}

TEST(FinishHsNtor, ReadsOnlyTheFirst64Bytes) {
  Introduce1 intro = vector_introduce1();
  finish_hs_ntor(intro.state, cat({kServerPublic, kAuthInputMac, Bytes(36, 0xEE)}));
  EXPECT_EQ(intro.state.key_seed, kNtorKeySeed);
}

TEST(FinishHsNtor, Failures) {
  enum Field { kNone, kY, kAuth, kX, kPublic, kB, kAuthKey, kXB };
  struct Case {
    const char* name;
    Field flip;  // one bit of this field is flipped
    Bytes handshake;
    const char* message;
  };
  const Bytes good = cat({kServerPublic, kAuthInputMac});
  const Case cases[] = {
      {"63 bytes", kNone, Bytes(good.begin(), good.end() - 1), "RENDEZVOUS2 handshake too short"},
      {"empty", kNone, {}, "RENDEZVOUS2 handshake too short"},
      {"Y all zero", kNone, cat({Bytes(32, 0), kAuthInputMac}),
       "hs-ntor shared secret is all zero"},
      {"Y of order 4", kNone, cat({hex("01"), Bytes(31, 0), kAuthInputMac}),
       "hs-ntor shared secret is all zero"},
      {"AUTH", kAuth, good, "RENDEZVOUS2 hs-ntor auth mismatch"},
      {"Y", kY, good, "RENDEZVOUS2 hs-ntor auth mismatch"},
      {"client secret", kX, good, "RENDEZVOUS2 hs-ntor auth mismatch"},
      {"client public", kPublic, good, "RENDEZVOUS2 hs-ntor auth mismatch"},
      {"enc key", kB, good, "RENDEZVOUS2 hs-ntor auth mismatch"},
      {"auth key", kAuthKey, good, "RENDEZVOUS2 hs-ntor auth mismatch"},
      {"EXP(B,x)", kXB, good, "RENDEZVOUS2 hs-ntor auth mismatch"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Introduce1 intro = vector_introduce1();
    Bytes handshake = c.handshake;
    HsNtorState& s = intro.state;
    switch (c.flip) {
      case kNone:
        break;
      case kY:
        handshake[5] ^= 0x10;
        break;
      case kAuth:
        handshake[40] ^= 0x01;
        break;
      case kX:
        s.client_secret[10] ^= 0x04;
        break;
      case kPublic:
        s.client_public[0] ^= 0x01;
        break;
      case kB:
        s.enc_key[31] ^= 0x02;
        break;
      case kAuthKey:
        s.auth_key[7] ^= 0x80;
        break;
      case kXB:
        s.secret_xb[16] ^= 0x01;
        break;
    }
    EXPECT_EQ(error_text([&] { finish_hs_ntor(s, handshake); }), c.message);
    EXPECT_TRUE(s.key_seed.empty());
  }
}

TEST(BuildIntroduce1, Failures) {
  struct Case {
    const char* name;
    void (*change)(IntroductionPoint&, directory::Relay&, Bytes& cookie);
    const char* message;
  };
  const Case cases[] = {
      {"19-byte cookie", [](auto&, auto&, Bytes& c) { c.resize(19); }, "bad rendezvous cookie"},
      {"21-byte cookie", [](auto&, auto&, Bytes& c) { c.resize(21); }, "bad rendezvous cookie"},
      {"cookie checked first",
       [](IntroductionPoint& p, directory::Relay& r, Bytes& c) {
         c.clear();
         r.ntor_onion_key.clear();
         p.enc_key.clear();
       },
       "bad rendezvous cookie"},
      {"no ntor key", [](auto&, directory::Relay& r, auto&) { r.ntor_onion_key.clear(); },
       "rendezvous relay missing ntor key"},
      {"host name", [](auto&, directory::Relay& r, auto&) { r.address = "rp.example"; },
       "relay has non-IPv4 address"},
      {"31-byte enc key", [](IntroductionPoint& p, auto&, auto&) { p.enc_key.resize(31); },
       "bad x25519 inputs"},
      {"enc key zero", [](IntroductionPoint& p, auto&, auto&) { p.enc_key.assign(32, 0); },
       "hs-ntor shared secret is all zero"},
      {"enc key of order 4",
       [](IntroductionPoint& p, auto&, auto&) {
         p.enc_key.assign(32, 0);
         p.enc_key[0] = 1;
       },
       "hs-ntor shared secret is all zero"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    IntroductionPoint point = vector_point();
    directory::Relay relay = rendezvous_relay();
    Bytes cookie(20, 0x11);
    c.change(point, relay, cookie);
    EXPECT_EQ(error_text([&] { build_introduce1(point, relay, cookie, period_keys()); }),
              c.message);
  }
}

TEST(BuildIntroduce1, LayoutAndPadding) {
  const directory::Relay relay = rendezvous_relay();
  const Bytes cookie(20, 0x11);
  Introduce1 intro = build_introduce1(vector_point(), relay, cookie, period_keys());
  ASSERT_EQ(intro.body.size(), 366u);
  EXPECT_EQ(part(intro.body, 0, 56), kHeader);
  EXPECT_EQ(part(intro.body, 56, 32), intro.state.client_public);
  EXPECT_EQ(intro.state.enc_key, kEncKey);
  EXPECT_EQ(intro.state.auth_key, kAuthKey);

  // The plaintext it must have enciphered: cookie, no extensions, the ntor key,
  // the three link specifiers (65 bytes), zeros up to 246 bytes.
  Bytes plaintext =
      cat({cookie, hex("00 01 0020"), relay.ntor_onion_key, hex("03 00 06 0A010203 01BB"),
           hex("02 14"), relay.rsa_identity, hex("03 20"), relay.ed25519_id});
  ASSERT_EQ(plaintext.size(), 121u);
  plaintext.resize(246, 0);
  Introduce1 again =
      encrypt_introduce1(vector_point(), plaintext, kSubcredential, intro.state.client_secret);
  EXPECT_EQ(again.body, intro.body);
}

TEST(BuildIntroduce1, LongPlaintextIsNotPadded) {
  directory::Relay relay = rendezvous_relay();
  relay.ed25519_id.assign(200, 0x33);  // link specifiers of 233 bytes: 289 in all
  Introduce1 intro = build_introduce1(vector_point(), relay, Bytes(20, 0x11), period_keys());
  EXPECT_EQ(intro.body.size(), 88u + 289u + 32u);
}

TEST(BuildIntroduce1, FreshSecretEachCall) {
  const directory::Relay relay = rendezvous_relay();
  Introduce1 a = build_introduce1(vector_point(), relay, Bytes(20, 1), period_keys());
  Introduce1 b = build_introduce1(vector_point(), relay, Bytes(20, 1), period_keys());
  EXPECT_NE(a.state.client_secret, b.state.client_secret);
  EXPECT_NE(part(a.body, 56, 32), part(b.body, 56, 32));
  EXPECT_EQ(part(a.body, 0, 56), part(b.body, 0, 56));
}

}  // namespace
}  // namespace mistgrove_core::hs
