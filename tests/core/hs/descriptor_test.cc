// Descriptors: the captured descriptor of a real onion service with tampered
// bytes, signing-key certificates that the test issues itself as a service
// would, and the inner-layer parser.
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <sodium.h>

#include <optional>

#include "base/test_support.h"
#include "mistgrove_core/crypto.h"
#include "mistgrove_core/hs.h"

namespace mistgrove_core::hs {
namespace {

using mistgrove_test::error_of;
using mistgrove_test::hex;
using util::concat;
using util::text_bytes;

constexpr const char* kCertInvalid = "descriptor signing key certificate invalid";
constexpr const char* kSignatureInvalid = "descriptor signature invalid";
constexpr const char* kMacMismatch = "descriptor layer MAC mismatch";
constexpr const char* kNoIntroPoints = "descriptor has no usable introduction points";
constexpr std::string_view kSuperencrypted = "hsdir-superencrypted-data";
constexpr std::string_view kEncrypted = "hsdir-encrypted-data";

std::string b64(ByteView data) { return util::base64_encode_unpadded(data); }

// `data` as PEM under the given label, base64 wrapped at 64 columns.
std::string pem(std::string_view label, ByteView data) {
  std::string out = fmt::format("-----BEGIN {}-----\n", label), text = b64(data);
  for (std::size_t i = 0; i < text.size(); i += 64) out += text.substr(i, 64) + "\n";
  return out + fmt::format("-----END {}-----\n", label);
}

std::string replace_first(std::string text, std::string_view from, std::string_view to) {
  const std::size_t at = text.find(from);
  if (at == std::string::npos) throw std::logic_error("no " + std::string(from));
  return text.replace(at, from.size(), to);
}

Bytes decrypt_layer(ByteView blob, const directory::HsPeriodKeys& keys, u64 counter,
                    std::string_view constant) {
  return decrypt_descriptor_layer(blob, keys.blinded_key, keys.subcredential, counter, constant);
}

// The base64-decoded body of the first message block of `text`.
Bytes message_blob(std::string_view text) {
  return util::base64_decode(
      extract_pem_message(text, "-----BEGIN MESSAGE-----", "-----END MESSAGE-----"));
}

// --- the captured descriptor and its independently computed answers -------

// tests/core/data/descriptor_keys.txt is written by tools/vectors/descriptor_check.py.
struct Captured {
  std::string outer = mistgrove_test::read_data_file("descriptor_outer.txt");
  directory::HsPeriodKeys keys;
  u64 revision_counter = 0;
  Bytes signing_key;
  std::vector<mistgrove_test::Record> intros;  // IPv4 specifier, onion, enc and auth keys

  Captured() {
    for (const auto& r : mistgrove_test::load_records("descriptor_keys.txt")) {
      if (r.kind() == "blinded_key") keys.blinded_key = r.bytes(1);
      if (r.kind() == "subcredential") keys.subcredential = r.bytes(1);
      if (r.kind() == "revision_counter") revision_counter = r.number(1);
      if (r.kind() == "signing_key") signing_key = r.bytes(1);
      if (r.kind() == "intro") intros.push_back(r);
    }
  }
};

const Captured& captured() {
  static const Captured c;
  return c;
}

TEST(CapturedDescriptor, DecryptsToItsThreeIntroductionPoints) {
  const Captured& c = captured();
  EXPECT_EQ(verify_hs_descriptor(c.outer, c.keys.blinded_key), c.signing_key);
  const HiddenServiceDescriptor desc = decrypt_hs_descriptor(c.outer, c.keys);
  ASSERT_EQ(desc.intro_points.size(), 3u);
  ASSERT_EQ(c.intros.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    const IntroductionPoint& point = desc.intro_points[i];
    EXPECT_EQ(point.link_specifiers.at(0).data, c.intros[i].bytes(1));
    EXPECT_EQ(point.onion_key, c.intros[i].bytes(2));
    EXPECT_EQ(point.enc_key, c.intros[i].bytes(3));
    EXPECT_EQ(point.auth_key, c.intros[i].bytes(4));
  }
}

TEST(CapturedDescriptor, TamperedDocuments) {
  const Captured& c = captured();
  const struct {
    const char *from, *to;  // first occurrence replaced
    const char* message;
  } kCases[] = {
      {"descriptor-lifetime 180", "descriptor-lifetime 181", kSignatureInvalid},
      {"revision-counter 8556128", "revision-counter 8556129", kSignatureInvalid},
      {"u3kD5FPM", "u3kD5FPN", kSignatureInvalid},  // a byte of the encrypted blob
      {"superencrypted\n", "superencrypted\nextra-line\n", kSignatureInvalid},
      {"PUPVQDw\n", "PUPVQDw\nsignature x\n", kSignatureInvalid},
      {"signature iZjG", "signature iZjH", kSignatureInvalid},
      {"AQgAB52f", "AQgAB53f", kCertInvalid},
      {"descriptor-signing-key-cert", "descriptor-signing-key", kCertInvalid},
      {"revision-counter 8556128", "revision-counter 18446744073709551616",
       "number too large to fit in target type"},
      {"revision-counter", "revision-counters", "descriptor missing revision-counter"},
      {"-----BEGIN MESSAGE-----", "-----BEGIN MESSAGES-----",
       "descriptor missing superencrypted blob"},
      {"PUPVQDw\n", "PUPVQDw", ""},  // no final line feed
  };
  for (const auto& t : kCases) {
    SCOPED_TRACE(t.to);
    const std::string outer = replace_first(c.outer, t.from, t.to);
    EXPECT_EQ(error_of([&] { decrypt_hs_descriptor(outer, c.keys); }), t.message);
  }
  directory::HsPeriodKeys keys = c.keys;
  keys.subcredential[0] ^= 1;
  EXPECT_EQ(error_of([&] { decrypt_hs_descriptor(c.outer, keys); }), kMacMismatch);
  // Another period's blinded key of the same service.
  keys.blinded_key = hex("c59b5b70f20aba48f3eead4e3a45a0e7fed4d85d4d072dabf08dd73ad58526cf");
  EXPECT_EQ(error_of([&] { decrypt_hs_descriptor(c.outer, keys); }), kCertInvalid);
}

TEST(CapturedDescriptor, FlippedByteInEachLayerFailsItsMac) {
  const Captured& c = captured();
  const Bytes outer_blob = message_blob(c.outer);
  const Bytes inner_blob = message_blob(util::to_string_lossy(
      decrypt_layer(outer_blob, c.keys, c.revision_counter, kSuperencrypted)));
  ASSERT_FALSE(decrypt_layer(inner_blob, c.keys, c.revision_counter, kEncrypted).empty());
  const struct {
    const Bytes* blob;
    std::string_view constant;
    std::size_t offset;  // of the flipped byte
  } kCases[] = {
      {&outer_blob, kSuperencrypted, 100},                    // ciphertext
      {&outer_blob, kSuperencrypted, 3},                      // salt
      {&outer_blob, kSuperencrypted, outer_blob.size() - 1},  // MAC
      {&inner_blob, kEncrypted, 200},
      {&inner_blob, kEncrypted, 0},
  };
  for (const auto& t : kCases) {
    Bytes blob = *t.blob;
    blob[t.offset] ^= 0x01;
    EXPECT_EQ(error_of([&] { decrypt_layer(blob, c.keys, c.revision_counter, t.constant); }),
              kMacMismatch)
        << t.constant << " " << t.offset;
  }
  EXPECT_EQ(error_of([&] { decrypt_layer(outer_blob, c.keys, 1, kSuperencrypted); }), kMacMismatch);
  EXPECT_EQ(error_of([&] { decrypt_layer(Bytes(47, 0), c.keys, 1, kEncrypted); }),
            "descriptor ciphertext too short");
}

// --- certificates and inner layers written by the test as a service would --

struct Ed25519Key {
  Bytes public_key = Bytes(crypto_sign_PUBLICKEYBYTES);
  Bytes secret_key = Bytes(crypto_sign_SECRETKEYBYTES);
  Ed25519Key() {
    if (sodium_init() < 0) throw std::runtime_error("sodium_init");
    crypto_sign_keypair(public_key.data(), secret_key.data());
  }
  Bytes sign(ByteView message) const {
    Bytes sig(crypto_sign_BYTES);
    crypto_sign_detached(sig.data(), nullptr, message.data(), message.size(), secret_key.data());
    return sig;
  }
};

struct Extension {
  u8 type = 4;  // signed-with-key
  u8 flags = 0;
  Bytes data;
  std::optional<u16> declared_len;  // written instead of the data's length
};

struct CertSpec {
  u8 version = 1, cert_type = 8, key_type = 1;
  Bytes certified;
  std::vector<Extension> extensions;
  const Ed25519Key* signer = nullptr;
  bool bad_signature = false;
  Bytes trailing;
};

Bytes build_cert(const CertSpec& spec) {
  util::ByteWriter w;
  for (u8 b : {spec.version, spec.cert_type, u8{0}, u8{7}, u8{0x9D}, u8{0x9F}, spec.key_type})
    w.put_u8(b);
  w.put_bytes(spec.certified);
  w.put_u8(static_cast<u8>(spec.extensions.size()));
  for (const Extension& ext : spec.extensions) {
    w.put_u16(ext.declared_len.value_or(static_cast<u16>(ext.data.size())));
    w.put_u8(ext.type);
    w.put_u8(ext.flags);
    w.put_bytes(ext.data);
  }
  const Bytes cert = w.take();
  Bytes sig = spec.signer->sign(cert);
  if (spec.bad_signature) sig[10] ^= 0x01;
  return concat({cert, sig, spec.trailing});
}

// A version-1 certificate of `size` bytes whose certified key is 32 bytes of
// `fill`; nothing else in it is meaningful.
Bytes plain_cert(u8 version, u8 fill, std::size_t size = 104) {
  Bytes cert(size, 0xAB);
  cert[0] = version;
  std::fill(cert.begin() + 7, cert.begin() + 39, fill);
  return cert;
}

// One introduction point of an inner layer, lines replaceable by the tests.
struct PointText {
  std::string intro = "introduction-point " + b64(hex("01 00 06 7F000001 1F90"));
  std::string onion = "onion-key ntor " + b64(Bytes(32, 0x01));
  std::string auth = "auth-key\n" + pem("ED25519 CERT", plain_cert(1, 0x02));
  std::string enc = "enc-key ntor " + b64(Bytes(32, 0x03));
  std::string text() const { return intro + "\n" + onion + "\n" + auth + enc + "\n"; }
};

// The two keys of a service: the blinded key certifies the signing key.
struct Service {
  Ed25519Key blinded, signing;

  CertSpec cert_spec() const {
    CertSpec spec;
    spec.certified = signing.public_key;
    spec.extensions = {{4, 0, blinded.public_key, {}}};
    spec.signer = &blinded;
    return spec;
  }
};

const Service& service() {
  static const Service s;
  return s;
}

TEST(SigningKeyCertificate, Rules) {
  using Change = void (*)(CertSpec&);
  const struct {
    const char* name;
    Change change;
    bool valid;
  } kCases[] = {
      {"as issued", [](CertSpec&) {}, true},
      {"unknown extension without the validation flag",
       [](CertSpec& c) {
         c.extensions.push_back(Extension{7, 0, Bytes(3, 1), std::nullopt});
       },
       true},
      {"version 2", [](CertSpec& c) { c.version = 2; }, false},
      {"type 09", [](CertSpec& c) { c.cert_type = 9; }, false},
      {"key type 02", [](CertSpec& c) { c.key_type = 2; }, false},
      {"no signed-with-key extension", [](CertSpec& c) { c.extensions.clear(); }, false},
      {"extension names another key",
       [](CertSpec& c) { c.extensions[0].data = service().signing.public_key; }, false},
      {"extension twice", [](CertSpec& c) { c.extensions.push_back(c.extensions[0]); }, false},
      {"unknown extension affecting validation",
       [](CertSpec& c) {
         c.extensions.push_back(Extension{7, 1, Bytes(3, 1), std::nullopt});
       },
       false},
      {"extension longer than the certificate",
       [](CertSpec& c) { c.extensions[0].declared_len = 200; }, false},
      {"trailing byte", [](CertSpec& c) { c.trailing = {0}; }, false},
      {"bad signature", [](CertSpec& c) { c.bad_signature = true; }, false},
      {"signed by the certified key", [](CertSpec& c) { c.signer = &service().signing; }, false},
  };
  const Bytes& blinded = service().blinded.public_key;
  for (const auto& t : kCases) {
    SCOPED_TRACE(t.name);
    CertSpec spec = service().cert_spec();
    t.change(spec);
    Bytes certified;
    EXPECT_EQ(
        error_of([&] { certified = verify_descriptor_signing_cert(build_cert(spec), blinded); }),
        t.valid ? "" : kCertInvalid);
    if (t.valid) {
      EXPECT_EQ(certified, service().signing.public_key);
    }
  }
  const Bytes cert = build_cert(service().cert_spec());
  for (std::size_t len : {0, 39, 103, 139}) {
    EXPECT_EQ(error_of([&] { verify_descriptor_signing_cert(ByteView(cert).first(len), blinded); }),
              kCertInvalid)
        << len;
  }
}

TEST(ExtractPemMessage, Markers) {
  const struct {
    const char *text, *result_or_message;
  } kCases[] = {
      {"x\n-----BEGIN A----- skipped\nAB\nCD\n-----END A-----\n", "AB\nCD\n"},
      {"-----BEGIN A-----\n-----END A-----", ""},
      {"AB\n-----END A-----\n", "PEM begin marker not found"},
      {"-----BEGIN A-----", "bad PEM begin line"},
      {"-----END A-----\n-----BEGIN A-----\nAB\n", "PEM end marker not found"},
  };
  for (const auto& t : kCases) {
    std::string result;
    const std::string error = error_of(
        [&] { result = extract_pem_message(t.text, "-----BEGIN A-----", "-----END A-----"); });
    EXPECT_EQ(error.empty() ? result : error, t.result_or_message) << t.text;
  }
}

TEST(ParseInnerDescriptor, IntroductionPoints) {
  auto with = [](void (*change)(PointText&)) {
    PointText p;
    change(p);
    return p.text();
  };
  const std::string point = PointText().text();
  const struct {
    const char* name;
    std::string text;
    std::size_t kept;
    const char* message;
  } kCases[] = {
      {"two points", point + point, 2, ""},
      {"IPv4 after a short type 0", with([](PointText& p) {
         p.intro = "introduction-point " + b64(hex("02 00 05 0102030405 00 06 7F000001 1F90"));
       }),
       1, ""},
      {"a short second onion-key replaces a good one",
       with([](PointText& p) { p.onion += "\nonion-key ntor " + b64(Bytes(31, 1)); }), 0,
       kNoIntroPoints},
      {"enc-key of another type",
       with([](PointText& p) { p.enc = "enc-key x25519 " + b64(Bytes(32, 3)); }), 0,
       kNoIntroPoints},
      {"keys before the first point are ignored",
       "onion-key ntor " + b64(Bytes(32, 1)) + "\n" + with([](PointText& p) { p.onion = ""; }), 0,
       kNoIntroPoints},
      {"lines taken with a certificate are not read as keys", with([](PointText& p) {
         p.auth = "auth-key\nonion-key ntor " + b64(Bytes(31, 1)) + "\n" +
                  pem("ED25519 CERT", plain_cert(1, 2));
       }),
       1, ""},
      {"a dropped point beside a kept one", with([](PointText& p) { p.enc = ""; }) + point, 1, ""},
      {"auth-key as the last line", with([](PointText& p) { p.auth = ""; }) + "auth-key", 0,
       "auth-key missing cert"},
      {"certificate of 103 bytes", with([](PointText& p) {
         p.auth = "auth-key\n" + pem("ED25519 CERT", plain_cert(1, 2, 103));
       }),
       0, "short ed25519 cert"},
      {"truncated link specifier",
       with([](PointText& p) { p.intro = "introduction-point " + b64(hex("01 00 06 7F00")); }), 0,
       "truncated link specifier body"},
  };
  for (const auto& t : kCases) {
    SCOPED_TRACE(t.name);
    HiddenServiceDescriptor desc;
    EXPECT_EQ(error_of([&] { desc = parse_inner_descriptor(t.text); }), t.message);
    ASSERT_EQ(desc.intro_points.size(), t.kept);
    for (const IntroductionPoint& p : desc.intro_points) {
      EXPECT_EQ(p.onion_key, Bytes(32, 0x01));
      EXPECT_EQ(p.auth_key, Bytes(32, 0x02));
      EXPECT_EQ(p.enc_key, Bytes(32, 0x03));
    }
  }
}

// Mutated documents, layers and certificates parse or throw Error.
TEST(Robustness, MutatedInput) {
  const Captured& c = captured();
  const std::string middle = util::to_string_lossy(
      decrypt_layer(message_blob(c.outer), c.keys, c.revision_counter, kSuperencrypted));
  const std::string inner = util::to_string_lossy(
      decrypt_layer(message_blob(middle), c.keys, c.revision_counter, kEncrypted));
  const Bytes cert = build_cert(service().cert_spec());
  const std::vector<std::string> pieces = mistgrove_test::pieces(
      "\n\r -=+/A0",
      {"introduction-point ", "auth-key", "-----BEGIN ED25519 CERT-----", "-----END MESSAGE-----",
       "revision-counter 0", "onion-key ntor ", "signature "});
  const mistgrove_test::FuzzTarget targets[] = {
      {"outer",
       {c.outer},
       pieces,
       [&](const std::string& in) { decrypt_hs_descriptor(in, c.keys); }},
      {"middle", {middle}, pieces, [](const std::string& in) { message_blob(in); }},
      {"inner", {inner}, pieces, [](const std::string& in) { parse_inner_descriptor(in); }},
      {"certificate",
       {std::string(cert.begin(), cert.end())},
       pieces,
       [](const std::string& in) {
         verify_descriptor_signing_cert(text_bytes(in), service().blinded.public_key);
       }},
      {"auth-key certificate",
       {PointText().auth},
       pieces,
       [](const std::string& in) { parse_ed25519_cert_subject(in); }},
  };
  std::uint32_t seed = 1;
  for (const auto& target : targets) mistgrove_test::fuzz_accepted(target, seed++);
}

}  // namespace
}  // namespace mistgrove_core::hs
