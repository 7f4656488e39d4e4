// Descriptors: a real service's, tampered; signing-key certificates; inner
// layers; the order of HSDirs asked.
#include "hs/descriptor.h"

#include <gtest/gtest.h>

#include <set>

#include "hs/fetch.h"
#include "tor/fake_relay.h"

namespace mistgrove_core::hs {
namespace {

using namespace mistgrove_test;
using util::concat;

constexpr std::string_view kEncrypted = "hsdir-encrypted-data";

// The base64-decoded body of the first message block of `text`.
Bytes message_blob(std::string_view text) {
  return util::base64_decode(
      extract_pem_message(text, "-----BEGIN MESSAGE-----", "-----END MESSAGE-----"));
}

Record key(const char* kind) { return load_records("descriptor_keys.txt", kind)[0]; }

// tests/core/data/descriptor_keys.txt is written by tools/vectors/descriptor_check.py.
struct Captured {
  static constexpr u64 kNow = u64{499103} * 3600;  // its certificate's last second
  std::string outer = read_data_file("descriptor_outer.txt");
  directory::HsPeriodKeys keys{key("blinded_key").bytes(1), key("subcredential").bytes(1),
                               key("period").number(1), i32(key("period").number(2))};
  Bytes layer(ByteView blob, std::string_view constant = "hsdir-superencrypted-data") const {
    return decrypt_descriptor_layer(blob, keys.blinded_key, keys.subcredential,
                                    key("revision_counter").number(1), constant);
  }
};

TEST(CapturedDescriptor, DecryptsToItsIntroductionPointsUnlessTampered) {
  static const Captured c;
  EXPECT_EQ(verify_hs_descriptor(c.outer, c.keys.blinded_key, c.kNow), key("signing_key").bytes(1));
  EXPECT_EQ(error_of([&] { verify_hs_descriptor(c.outer, c.keys.blinded_key, c.kNow + 1); }),
            "descriptor signing key certificate expired");
  std::vector<Bytes> got, want;  // IPv4 specifier, onion, enc and auth keys
  for (const IntroductionPoint& p : decrypt_hs_descriptor(c.outer, c.keys, c.kNow).intro_points)
    got.push_back(concat({p.link_specifiers.at(0).data, p.onion_key, p.enc_key, p.auth_key}));
  for (const auto& r : load_records("descriptor_keys.txt", "intro"))
    want.push_back(hex(r.text(1) + r.text(2) + r.text(3) + r.text(4)));
  EXPECT_EQ(got, want);
  for (const auto& t : load_records("hs_cases.txt", "tampered")) {
    std::string outer = c.outer;
    outer.replace(outer.find(t.text(1)), t.text(1).size(), t.text(2));
    EXPECT_EQ(error_of([&] { decrypt_hs_descriptor(outer, c.keys, c.kNow); }), t.last())
        << t.text(2);
  }
  const Record other = load_records("hs_cases.txt", "other_blinded_key")[0];
  EXPECT_EQ(error_of([&] { verify_hs_descriptor(c.outer, other.bytes(1), c.kNow); }), other.last());
}

// Certificates and inner layers from tools/vectors/signing_certs.py.
TEST(SigningKeyCertificateAndInnerLayer, Rules) {
  const auto keys = load_records("signing_certs.txt", "keys")[0];
  for (const auto& t : load_records("signing_certs.txt", "cert")) {
    Bytes certified;
    EXPECT_EQ(error_of([&] {
                certified = verify_descriptor_signing_cert(t.bytes(2), keys.bytes(1), t.number(3));
              }),
              t.last())
        << t.text(1);
    EXPECT_EQ(certified, t.last().empty() ? keys.bytes(2) : Bytes{}) << t.text(1);
  }
  for (const auto& t : load_records("signing_certs.txt", "inner")) {
    HiddenServiceDescriptor desc;
    EXPECT_EQ(error_of([&] { desc = parse_inner_descriptor(t.text(1)); }), t.last());
    ASSERT_EQ(desc.intro_points.size(), t.number(2));
    for (const IntroductionPoint& p : desc.intro_points)
      EXPECT_EQ(concat({p.onion_key, p.auth_key, p.enc_key}),
                concat({Bytes(32, 1), Bytes(32, 2), Bytes(32, 3)}));
  }
}

// A flipped byte fails its layer's MAC; mutated documents, layers and
// certificates parse or throw Error.
TEST(CapturedDescriptor, FlippedBytesAndMutatedInput) {
  static const Captured c;
  const Bytes outer = message_blob(c.outer);
  const std::string middle = util::to_string_lossy(c.layer(outer));
  const std::string inner = util::to_string_lossy(c.layer(message_blob(middle), kEncrypted));
  ASSERT_FALSE(inner.empty());
  for (std::size_t offset : {std::size_t{100}, outer.size() - 1}) {  // ciphertext, MAC
    Bytes flipped = outer;
    flipped[offset] ^= 0x01;
    EXPECT_EQ(error_of([&] { c.layer(flipped); }), "descriptor layer MAC mismatch") << offset;
  }
  EXPECT_EQ(error_of([&] { c.layer(Bytes(47), kEncrypted); }), "descriptor ciphertext too short");
  const Bytes blinded = load_records("signing_certs.txt", "keys")[0].bytes(1);
  const std::vector<std::string> splices = mistgrove_test::pieces(
      "\n\r -=+/A0",
      {"introduction-point ", "auth-key", "-----BEGIN ED25519 CERT-----", "-----END MESSAGE-----",
       "revision-counter 0", "onion-key ntor ", "signature "});
  auto fuzz = [&](std::uint32_t seed, const std::string& input, auto parse) {
    fuzz_accepted(FuzzTarget{"", {input}, splices, parse}, seed);
  };
  fuzz(1, c.outer, [&](const std::string& in) { decrypt_hs_descriptor(in, c.keys, c.kNow); });
  fuzz(2, inner, [](const std::string& in) { parse_inner_descriptor(in); });
  fuzz(3, text(load_records("signing_certs.txt", "cert")[0].bytes(2)), [&](const std::string& in) {
    verify_descriptor_signing_cert(util::text_bytes(in), blinded, 0);
  });
}

// The first HSDir answers garbage, the others fail naming themselves, but for
// the one at `decrypts`.
TEST(FetchHiddenServiceDescriptor, EveryHsdirOnceUntilOneDecrypts) {
  static const Captured c;
  directory::Consensus consensus;
  for (int i = 0; i < 8; ++i)
    consensus.relays.push_back(fake::RelayKeys("r" + std::to_string(i)).relay);
  std::vector<std::string> asked;
  Bytes last_guard;
  auto fetch = [&](std::size_t decrypts) {
    asked.clear();
    return fetch_hidden_service_descriptor_with(
        consensus, c.keys, 1234,
        [&](const auto& hsdir, const auto& guard, std::string_view path, i32 ms) {
          EXPECT_NE(guard.ed25519_id, hsdir.ed25519_id);
          EXPECT_EQ(std::string(path) + " " + std::to_string(ms),
                    "/tor/hs/3/G5QJRVaz7NRdpYOFdbVbFWIMiY7BjxWxN8HDgRd+tMI 1234");
          asked.push_back(hsdir.nickname), last_guard = guard.rsa_identity.to_bytes();
          if (asked.size() == 1 || asked.size() == decrypts)
            return util::from_string(asked.size() == 1 ? "not a descriptor" : c.outer);
          throw error::err("HTTP request failed: from " + hsdir.nickname);
        },
        c.kNow - 3 * 3600);
  };
  for (const auto& t : load_records("hs_cases.txt", "no_request")) {
    consensus.srv_current = t.bytes(1), consensus.srv_previous = t.bytes(2);
    for (directory::Relay& r : consensus.relays) r.ntor_onion_key = Bytes(t.number(3), 9);
    EXPECT_EQ(error_of([&] { fetch(0); }), t.last());
    EXPECT_TRUE(asked.empty());
  }
  consensus.srv_current = Bytes(32, 1), consensus.srv_previous = Bytes(32, 2);
  const FetchedDescriptor fetched = fetch(2);
  EXPECT_EQ(std::pair(asked.size(), fetched.descriptor.intro_points.size()), std::pair(2ul, 3ul));
  EXPECT_EQ(fetched.guard.rsa_identity.to_bytes(), last_guard);
  // The HSDirs of the current value in any order, then those of the previous.
  const std::string error = error_of([&] { fetch(0); });
  std::set<std::string> hsdirs[2];
  for (int i = 0; i < 2; ++i)
    for (const auto& r : directory::select_hsdirs(consensus, c.keys.blinded_key, Bytes(32, i + 1),
                                                  c.keys.period_num, c.keys.period_length))
      hsdirs[i].insert(r.nickname);
  ASSERT_EQ(asked.size(), hsdirs[0].size() + hsdirs[1].size());
  EXPECT_EQ(std::set(asked.begin(), asked.begin() + hsdirs[0].size()), hsdirs[0]);
  EXPECT_EQ(std::set(asked.begin() + hsdirs[0].size(), asked.end()), hsdirs[1]);
  EXPECT_EQ(error, "failed to fetch/decrypt hidden service descriptor: HTTP request failed: from " +
                       asked.back());
}

}  // namespace
}  // namespace mistgrove_core::hs
