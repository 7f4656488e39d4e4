// Descriptors: the captured descriptor of a real onion service with tampered
// bytes, signing-key certificates that the test issues itself as a service
// would, and the inner-layer parser.
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <sodium.h>

#include "base/test_support.h"
#include "mistgrove_core/crypto.h"
#include "hs/descriptor.h"
#include "mistgrove_core/hs.h"

namespace mistgrove_core::hs {
namespace {

using mistgrove_test::error_of;
using mistgrove_test::hex;
using mistgrove_test::text;
using util::concat;
using util::text_bytes;

constexpr const char* kCertInvalid = "descriptor signing key certificate invalid";
constexpr const char* kCertExpired = "descriptor signing key certificate expired";
constexpr const char* kSignatureInvalid = "descriptor signature invalid";
constexpr const char* kMacMismatch = "descriptor layer MAC mismatch";
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
  // Its signing-key certificate expires at hour 499103 since the epoch.
  static constexpr u64 kNow = u64{499103} * 3600;
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
  EXPECT_EQ(verify_hs_descriptor(c.outer, c.keys.blinded_key, c.kNow), c.signing_key);
  EXPECT_EQ(error_of([&] { verify_hs_descriptor(c.outer, c.keys.blinded_key, c.kNow + 1); }),
            kCertExpired);
  const HiddenServiceDescriptor desc = decrypt_hs_descriptor(c.outer, c.keys, c.kNow);
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
      {"revision-counter 8556128", "revision-counter 8556129", kSignatureInvalid},
      {"u3kD5FPM", "u3kD5FPN", kSignatureInvalid},  // a byte of the encrypted blob
      {"PUPVQDw\n", "PUPVQDw\nsignature x\n", kSignatureInvalid},
      {"signature iZjG", "signature iZjH", kSignatureInvalid},
      {"AQgAB52f", "AQgAB53f", kCertInvalid},
      {"descriptor-signing-key-cert", "descriptor-signing-key", kCertInvalid},
      {"revision-counter", "revision-counters", "descriptor missing revision-counter"},
      {"-----BEGIN MESSAGE-----", "-----BEGIN MESSAGES-----",
       "descriptor missing superencrypted blob"},
      {"PUPVQDw\n", "PUPVQDw", ""},  // no final line feed
  };
  for (const auto& t : kCases) {
    SCOPED_TRACE(t.to);
    const std::string outer = replace_first(c.outer, t.from, t.to);
    EXPECT_EQ(error_of([&] { decrypt_hs_descriptor(outer, c.keys, c.kNow); }), t.message);
  }
  directory::HsPeriodKeys keys = c.keys;
  keys.subcredential[0] ^= 1;
  EXPECT_EQ(error_of([&] { decrypt_hs_descriptor(c.outer, keys, c.kNow); }), kMacMismatch);
  // Another period's blinded key of the same service.
  keys.blinded_key = hex("c59b5b70f20aba48f3eead4e3a45a0e7fed4d85d4d072dabf08dd73ad58526cf");
  EXPECT_EQ(error_of([&] { decrypt_hs_descriptor(c.outer, keys, c.kNow); }), kCertInvalid);
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
      {&outer_blob, kSuperencrypted, 3},                      // salt
      {&outer_blob, kSuperencrypted, 100},                    // ciphertext
      {&outer_blob, kSuperencrypted, outer_blob.size() - 1},  // MAC
      {&inner_blob, kEncrypted, 200},
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
  // `body` followed by its signature.
  Bytes sign(const Bytes& body) const {
    Bytes sig(crypto_sign_BYTES);
    crypto_sign_detached(sig.data(), nullptr, body.data(), body.size(), secret_key.data());
    return concat({body, sig});
  }
};

// The two keys of a service: the blinded key certifies the signing key.
const Ed25519Key kBlinded, kSigning;

// The unsigned certificate as a service writes it (version 1, type 08,
// expiry, key type 01, the signing key, one signed-with-key extension of 32
// bytes holding the blinded key), with byte `at` set to `value`.
Bytes cert_body(std::size_t at = 0, u8 value = 1) {
  Bytes body = concat(
      {hex("01 08 00079D9F 01"), kSigning.public_key, hex("01 0020 04 00"), kBlinded.public_key});
  body.at(at) = value;
  return body;
}

Bytes cut(Bytes b, std::size_t n) {
  b.resize(n);
  return b;
}
Bytes flip_last(Bytes b) {
  b.back() ^= 1;
  return b;
}

TEST(SigningKeyCertificate, Rules) {
  const Bytes extra = hex("0003 07 00 010101");  // an unknown extension, no flag
  auto issued = [](const Bytes& body) { return kBlinded.sign(body); };
  constexpr u64 expires = u64{0x79D9F} * 3600;  // as cert_body() writes it, in seconds
  const struct {
    const char* name;
    Bytes cert;
    const char* message;
    u64 now = expires;  // its last valid second
  } kCases[] = {
      {"as issued", issued(cert_body()), ""},
      {"unknown extension without the validation flag", issued(concat({cert_body(39, 2), extra})),
       ""},
      {"version 2", issued(cert_body(0, 2)), kCertInvalid},
      {"type 09", issued(cert_body(1, 9)), kCertInvalid},
      {"key type 02", issued(cert_body(6, 2)), kCertInvalid},
      {"no signed-with-key extension", issued(cut(cert_body(39, 0), 40)), kCertInvalid},
      {"extension names another key",
       issued(concat({ByteView(cert_body()).first(44), kSigning.public_key})), kCertInvalid},
      {"extension twice", issued(concat({cert_body(39, 2), ByteView(cert_body()).subspan(40)})),
       kCertInvalid},
      {"unknown extension affecting validation",
       issued(concat({cert_body(39, 2), hex("0003 07 01 010101")})), kCertInvalid},
      {"extension longer than the certificate", issued(cert_body(41, 200)), kCertInvalid},
      {"trailing byte", concat({issued(cert_body()), Bytes{0}}), kCertInvalid},
      {"bad signature", flip_last(issued(cert_body())), kCertInvalid},
      {"signed by the certified key", kSigning.sign(cert_body()), kCertInvalid},
      {"cut at 103 bytes", cut(issued(cert_body()), 103), kCertInvalid},
      {"empty", {}, kCertInvalid},
      {"expired", issued(cert_body()), kCertExpired, expires + 1},
      {"expired with a bad signature", flip_last(issued(cert_body())), kCertInvalid, expires + 1},
  };
  for (const auto& t : kCases) {
    SCOPED_TRACE(t.name);
    Bytes certified;
    EXPECT_EQ(error_of([&] {
                certified = verify_descriptor_signing_cert(t.cert, kBlinded.public_key, t.now);
              }),
              t.message);
    EXPECT_EQ(certified, *t.message ? Bytes{} : kSigning.public_key);
  }
}

TEST(ParseInnerDescriptor, IntroductionPoints) {
  // A certificate whose certified key (bytes 7 to 38) is 32 bytes of 2;
  // nothing else in it is examined.
  auto cert = [](std::size_t size) {
    Bytes cert(size, 2);
    cert[0] = 1;
    return pem("ED25519 CERT", cert);
  };
  const std::string intro = b64(hex("01 00 06 7F000001 1F90"));
  const std::string point = "introduction-point " + intro + "\nonion-key ntor " +
                            b64(Bytes(32, 1)) + "\nauth-key\n" + cert(104) + "enc-key ntor " +
                            b64(Bytes(32, 3)) + "\n";
  const struct {
    const char* name;
    std::string from, to, after;  // the first `from` replaced, `after` appended
    std::size_t kept;
    const char* message;
  } kCases[] = {
      {"two points", "", "", point, 2, ""},
      {"IPv4 after a short type 0", intro, b64(hex("02 00 05 0102030405 00 06 7F000001 1F90")), "",
       1, ""},
      {"a dropped point beside a kept one", "enc-key", "enc-keys", point, 1, ""},
      {"certificate of 103 bytes", cert(104), cert(103), "", 0, "short ed25519 cert"},
      {"truncated link specifier", intro, b64(hex("01 00 06 7F00")), "", 0,
       "truncated link specifier body"},
  };
  for (const auto& t : kCases) {
    SCOPED_TRACE(t.name);
    HiddenServiceDescriptor desc;
    EXPECT_EQ(error_of([&] {
                desc = parse_inner_descriptor(replace_first(point, t.from, t.to) + t.after);
              }),
              t.message);
    ASSERT_EQ(desc.intro_points.size(), t.kept);
    for (const IntroductionPoint& p : desc.intro_points) {
      EXPECT_EQ(concat({p.onion_key, p.auth_key, p.enc_key}),
                concat({Bytes(32, 1), Bytes(32, 2), Bytes(32, 3)}));
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
  const Bytes cert = kBlinded.sign(cert_body());
  const std::vector<std::string> pieces = mistgrove_test::pieces(
      "\n\r -=+/A0",
      {"introduction-point ", "auth-key", "-----BEGIN ED25519 CERT-----", "-----END MESSAGE-----",
       "revision-counter 0", "onion-key ntor ", "signature "});
  auto target = [&](const char* name, const std::string& seed, auto parse) {
    return mistgrove_test::FuzzTarget{name, {seed}, pieces, parse};
  };
  const mistgrove_test::FuzzTarget targets[] = {
      target("outer", c.outer,
             [&](const std::string& in) { decrypt_hs_descriptor(in, c.keys, c.kNow); }),
      target("middle", middle, [](const std::string& in) { message_blob(in); }),
      target("inner", inner, [](const std::string& in) { parse_inner_descriptor(in); }),
      target("certificate", text(cert),
             [](const std::string& in) {
               verify_descriptor_signing_cert(text_bytes(in), kBlinded.public_key, 0);
             }),
  };
  std::uint32_t seed = 1;
  for (const auto& t : targets) mistgrove_test::fuzz_accepted(t, seed++);
}

}  // namespace
}  // namespace mistgrove_core::hs
