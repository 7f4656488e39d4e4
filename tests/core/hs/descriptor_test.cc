// Descriptors: the captured descriptor of a real onion service, documents
// that the test signs and encrypts itself as a service would, the signing-key
// certificate, the layer format and the inner-layer parser.
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <sodium.h>

#include <iterator>
#include <optional>
#include <random>
#include <vector>

#include "hs/hs_test_util.h"
#include "mistgrove_core/crypto.h"
#include "mistgrove_core/hs.h"

namespace mistgrove_core::hs {
namespace {

using testing::cat;
using testing::error_text;
using testing::hex;
using testing::text_bytes;

constexpr const char* kCertInvalid = "descriptor signing key certificate invalid";
constexpr const char* kSignatureInvalid = "descriptor signature invalid";
constexpr const char* kMacMismatch = "descriptor layer MAC mismatch";
constexpr const char* kNoIntroPoints = "descriptor has no usable introduction points";
constexpr std::string_view kSuperencrypted = "hsdir-superencrypted-data";
constexpr std::string_view kEncrypted = "hsdir-encrypted-data";

std::string b64(ByteView data) { return util::base64_encode_unpadded(data); }

// PEM lines of `data` under the given label, base64 wrapped at 64 columns.
std::vector<std::string> pem_lines(std::string_view label, ByteView data) {
  std::vector<std::string> lines{fmt::format("-----BEGIN {}-----", label)};
  std::string text = b64(data);
  for (std::size_t i = 0; i < text.size(); i += 64) lines.push_back(text.substr(i, 64));
  lines.push_back(fmt::format("-----END {}-----", label));
  return lines;
}

std::string join_lines(const std::vector<std::string>& lines, std::string_view eol = "\n") {
  std::string out;
  for (const std::string& line : lines) out.append(line).append(eol);
  return out;
}

// --- the captured descriptor and its independently computed answers -------

struct CapturedIntro {
  Bytes ipv4_spec;
  Bytes onion_key;
  Bytes enc_key;
  Bytes auth_key;
};

struct Captured {
  std::string outer;
  directory::HsPeriodKeys keys;
  u64 revision_counter = 0;
  Bytes signing_key;
  std::vector<CapturedIntro> intros;
};

// tests/core/data/descriptor_keys.txt is written by tools/vectors/descriptor_check.py.
const Captured& captured() {
  static const Captured c = [] {
    Captured c;
    c.outer = testing::read_test_file("descriptor_outer.txt");
    std::istringstream keys(testing::read_test_file("descriptor_keys.txt"));
    for (std::string line; std::getline(keys, line);) {
      std::istringstream words(line);
      std::string key;
      words >> key;
      std::vector<std::string> v{std::istream_iterator<std::string>(words), {}};
      if (key == "blinded_key") c.keys.blinded_key = hex(v.at(0));
      if (key == "subcredential") c.keys.subcredential = hex(v.at(0));
      if (key == "revision_counter") c.revision_counter = std::stoull(v.at(0));
      if (key == "signing_key") c.signing_key = hex(v.at(0));
      if (key == "intro")
        c.intros.push_back({hex(v.at(0)), hex(v.at(1)), hex(v.at(2)), hex(v.at(3))});
    }
    c.keys.period_num = 1247622;
    c.keys.period_length = 24;
    return c;
  }();
  return c;
}

// The base64-decoded body of the first message block of `text`.
Bytes message_blob(std::string_view text) {
  return util::base64_decode(
      extract_pem_message(text, "-----BEGIN MESSAGE-----", "-----END MESSAGE-----"));
}

Bytes decrypt_layer(ByteView blob, const directory::HsPeriodKeys& keys, u64 counter,
                    std::string_view constant) {
  return decrypt_descriptor_layer(blob, keys.blinded_key, keys.subcredential, counter, constant);
}

TEST(CapturedDescriptor, DecryptsToItsThreeIntroductionPoints) {
  const Captured& c = captured();
  ASSERT_EQ(c.intros.size(), 3u);
  HiddenServiceDescriptor desc = decrypt_hs_descriptor(c.outer, c.keys);
  ASSERT_EQ(desc.intro_points.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    const IntroductionPoint& point = desc.intro_points[i];
    EXPECT_EQ(point.onion_key, c.intros[i].onion_key);
    EXPECT_EQ(point.enc_key, c.intros[i].enc_key);
    EXPECT_EQ(point.auth_key, c.intros[i].auth_key);
    ASSERT_EQ(point.link_specifiers.size(), 3u);
    EXPECT_EQ(point.link_specifiers[0].kind, 0);
    EXPECT_EQ(point.link_specifiers[0].data, c.intros[i].ipv4_spec);
  }
}

TEST(CapturedDescriptor, SigningKeyIsCertifiedByTheBlindedKey) {
  const Captured& c = captured();
  EXPECT_EQ(verify_hs_descriptor(c.outer, c.keys.blinded_key), c.signing_key);
}

TEST(CapturedDescriptor, TamperedDocuments) {
  const Captured& c = captured();
  // Another period's blinded key and subcredential of the same service.
  const Bytes other_blinded =
      hex("c59b5b70f20aba48f3eead4e3a45a0e7fed4d85d4d072dabf08dd73ad58526cf");
  struct Case {
    const char* name;
    std::string from, to;  // first occurrence replaced
    bool other_blinded_key;
    bool other_subcredential;
    const char* message;  // nullptr: decrypts
  };
  const Case cases[] = {
      {"lifetime", "descriptor-lifetime 180", "descriptor-lifetime 181", false, false,
       kSignatureInvalid},
      {"revision counter", "revision-counter 8556128", "revision-counter 8556129", false, false,
       kSignatureInvalid},
      {"blob byte", "u3kD5FPM", "u3kD5FPN", false, false, kSignatureInvalid},
      {"line added", "superencrypted\n", "superencrypted\nextra-line\n", false, false,
       kSignatureInvalid},
      {"line after signature", "PUPVQDw\n", "PUPVQDw\nsignature x\n", false, false,
       kSignatureInvalid},
      {"signature byte", "signature iZjG", "signature iZjH", false, false, kSignatureInvalid},
      {"signature missing", "signature ", "signatures ", false, false, kSignatureInvalid},
      {"certificate byte", "AQgAB52f", "AQgAB53f", false, false, kCertInvalid},
      {"certificate keyword", "descriptor-signing-key-cert", "descriptor-signing-key", false, false,
       kCertInvalid},
      {"wrong blinded key", "", "", true, false, kCertInvalid},
      {"wrong subcredential", "", "", false, true, kMacMismatch},
      {"no final line feed", "PUPVQDw\n", "PUPVQDw", false, false, nullptr},
  };
  for (const Case& t : cases) {
    SCOPED_TRACE(t.name);
    std::string outer = c.outer;
    if (!t.from.empty()) {
      std::size_t at = outer.find(t.from);
      ASSERT_NE(at, std::string::npos);
      outer.replace(at, t.from.size(), t.to);
    }
    directory::HsPeriodKeys keys = c.keys;
    if (t.other_blinded_key) keys.blinded_key = other_blinded;
    if (t.other_subcredential) keys.subcredential[0] ^= 1;
    EXPECT_EQ(error_text([&] { decrypt_hs_descriptor(outer, keys); }),
              t.message ? t.message : "no error");
  }
}

TEST(CapturedDescriptor, FlippedByteInEachLayerFailsItsMac) {
  const Captured& c = captured();
  Bytes outer_blob = message_blob(c.outer);
  std::string middle =
      util::to_string_lossy(decrypt_layer(outer_blob, c.keys, c.revision_counter, kSuperencrypted));
  Bytes inner_blob = message_blob(middle);
  ASSERT_FALSE(decrypt_layer(inner_blob, c.keys, c.revision_counter, kEncrypted).empty());

  struct Case {
    const char* name;
    Bytes blob;
    std::string_view constant;
    std::size_t offset;  // of the flipped byte
  };
  const Case cases[] = {
      {"middle layer ciphertext", outer_blob, kSuperencrypted, 100},
      {"middle layer salt", outer_blob, kSuperencrypted, 3},
      {"middle layer MAC", outer_blob, kSuperencrypted, outer_blob.size() - 1},
      {"inner layer ciphertext", inner_blob, kEncrypted, 200},
      {"inner layer salt", inner_blob, kEncrypted, 0},
  };
  for (const Case& t : cases) {
    SCOPED_TRACE(t.name);
    Bytes blob = t.blob;
    blob[t.offset] ^= 0x01;
    EXPECT_EQ(error_text([&] { decrypt_layer(blob, c.keys, c.revision_counter, t.constant); }),
              kMacMismatch);
  }
  EXPECT_EQ(error_text([&] {
              decrypt_layer(outer_blob, c.keys, c.revision_counter + 1, kSuperencrypted);
            }),
            kMacMismatch);
}

// --- documents written by the test as a service would ----------------------

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
  u8 type = 4;
  u8 flags = 0;
  Bytes data;
  std::optional<u16> declared_len;  // written instead of the data's length
};

struct CertSpec {
  u8 version = 1;
  u8 cert_type = 8;
  u8 key_type = 1;
  Bytes certified;
  std::vector<Extension> extensions;
  const Ed25519Key* signer = nullptr;
  bool bad_signature = false;
  Bytes trailing;
};

Bytes build_cert(const CertSpec& spec) {
  Bytes cert{spec.version, spec.cert_type, 0x00, 0x07, 0x9D, 0x9F, spec.key_type};
  cert.insert(cert.end(), spec.certified.begin(), spec.certified.end());
  cert.push_back(static_cast<u8>(spec.extensions.size()));
  for (const Extension& ext : spec.extensions) {
    u16 len = ext.declared_len.value_or(static_cast<u16>(ext.data.size()));
    cert.insert(cert.end(), {static_cast<u8>(len >> 8), static_cast<u8>(len), ext.type, ext.flags});
    cert.insert(cert.end(), ext.data.begin(), ext.data.end());
  }
  Bytes sig = spec.signer->sign(cert);
  if (spec.bad_signature) sig[10] ^= 0x01;
  return cat({cert, sig, spec.trailing});
}

// A version-1 certificate of exactly 104 bytes whose certified key is 32
// bytes of `fill`; nothing else in it is meaningful.
Bytes plain_cert(u8 version, u8 fill, std::size_t size = 104) {
  Bytes cert(size, 0xAB);
  cert[0] = version;
  std::fill(cert.begin() + 7, cert.begin() + 39, fill);
  return cert;
}

// One introduction point of an inner layer, parts replaceable by the tests.
struct PointText {
  std::string intro = "introduction-point " + b64(hex("01 00 06 7F000001 1F90"));
  std::string onion = "onion-key ntor " + b64(Bytes(32, 0x01));
  std::string auth =
      join_lines({"auth-key"}) + join_lines(pem_lines("ED25519 CERT", plain_cert(1, 0x02)));
  std::string enc = "enc-key ntor " + b64(Bytes(32, 0x03));
  std::string text() const { return intro + "\n" + onion + "\n" + auth + enc + "\n"; }
};

struct DocSpec {
  std::string counter_line = "revision-counter 42";  // empty: no such line
  u64 counter = 42;                                  // the counter the layers are keyed with
  std::string inner = "create2-formats 2\n" + PointText().text();
  std::optional<std::string> middle;  // default: a middle layer around the inner blob
  std::optional<std::size_t> flip_middle, flip_inner;  // byte of that layer's blob to flip
  bool blob = true;
  std::string eol = "\n";
  std::string after_signature;
  bool sign_with_blinded_key = false;  // instead of the certified signing key
};

class Service {
 public:
  Service() { subcredential_ = Bytes(32, 0x5C); }

  directory::HsPeriodKeys keys() const {
    directory::HsPeriodKeys keys;
    keys.blinded_key = blinded_.public_key;
    keys.subcredential = subcredential_;
    return keys;
  }
  const Ed25519Key& blinded() const { return blinded_; }
  const Ed25519Key& signing() const { return signing_; }

  CertSpec cert_spec() const {
    CertSpec spec;
    spec.certified = signing_.public_key;
    spec.extensions = {{4, 0, blinded_.public_key, {}}};
    spec.signer = &blinded_;
    return spec;
  }

  // SALT | ENCRYPTED | MAC of a layer, the plaintext padded with zeros.
  Bytes encrypt_layer(std::string_view plaintext, u64 counter, std::string_view constant) const {
    Bytes padded(text_bytes(plaintext).begin(), text_bytes(plaintext).end());
    if (!padded.empty()) padded.resize((padded.size() / 64 + 1) * 64, 0);
    Bytes salt(16, 0x7A);
    Bytes km = crypto::shake256(
        cat({blinded_.public_key, subcredential_, int8(counter), salt, text_bytes(constant)}), 80);
    ByteView key = ByteView(km).first(32), iv = ByteView(km).subspan(32, 16),
             mac_key = ByteView(km).subspan(48, 32);
    Bytes encrypted = crypto::aes_ctr_crypt(key, padded, iv);
    Bytes mac = crypto::sha3_256(cat({int8(32), mac_key, int8(16), salt, encrypted}));
    return cat({salt, encrypted, mac});
  }

  std::string document(const DocSpec& d) const {
    Bytes inner_blob = encrypt_layer(d.inner, d.counter, kEncrypted);
    if (d.flip_inner) inner_blob[*d.flip_inner] ^= 0x01;
    std::string middle = d.middle.value_or(
        join_lines({"desc-auth-type x25519", "desc-auth-ephemeral-key " + b64(Bytes(32, 9)),
                    "encrypted"}) +
        join_lines(pem_lines("MESSAGE", inner_blob)));
    Bytes middle_blob = encrypt_layer(middle, d.counter, kSuperencrypted);
    if (d.flip_middle) middle_blob[*d.flip_middle] ^= 0x01;

    std::vector<std::string> lines{"hs-descriptor 3", "descriptor-lifetime 180",
                                   "descriptor-signing-key-cert"};
    for (std::string& l : pem_lines("ED25519 CERT", build_cert(cert_spec()))) lines.push_back(l);
    if (!d.counter_line.empty()) lines.push_back(d.counter_line);
    lines.push_back("superencrypted");
    if (d.blob) {
      for (std::string& l : pem_lines("MESSAGE", middle_blob)) lines.push_back(l);
    }
    std::string doc = join_lines(lines, d.eol);
    return sign(doc, d.sign_with_blinded_key ? blinded_ : signing_, d.eol) + d.after_signature;
  }

  // The document followed by its signature line.
  std::string sign(const std::string& doc, const Ed25519Key& signer,
                   std::string_view eol = "\n") const {
    Bytes sig =
        signer.sign(cat({text_bytes("Tor onion service descriptor sig v3"), text_bytes(doc)}));
    return doc + "signature " + b64(sig) + std::string(eol);
  }

 private:
  static Bytes int8(u64 v) {
    Bytes out(8);
    for (int i = 7; i >= 0; --i, v >>= 8) out[i] = static_cast<u8>(v);
    return out;
  }

  Ed25519Key blinded_;
  Ed25519Key signing_;
  Bytes subcredential_;
};

const Service& service() {
  static const Service s;
  return s;
}

TEST(SignedDescriptor, Documents) {
  struct Case {
    const char* name;
    void (*change)(DocSpec&);
    const char* message;  // nullptr: one introduction point
  };
  const Case cases[] = {
      {"as written", [](DocSpec&) {}, nullptr},
      {"revision-counter 0",
       [](DocSpec& d) {
         d.counter_line = "revision-counter 0";
         d.counter = 0;
       },
       nullptr},
      {"counter with plus", [](DocSpec& d) { d.counter_line = "revision-counter +42"; }, nullptr},
      {"CR LF lines", [](DocSpec& d) { d.eol = "\r\n"; }, nullptr},
      {"CR CR LF lines", [](DocSpec& d) { d.eol = "\r\r\n"; }, nullptr},
      {"CR LF inner lines",
       [](DocSpec& d) {
         std::string crlf;
         for (char ch : d.inner) crlf += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
         d.inner = crlf;
       },
       nullptr},
      {"no counter line", [](DocSpec& d) { d.counter_line.clear(); },
       "descriptor missing revision-counter"},
      {"no counter line nor blob",
       [](DocSpec& d) {
         d.counter_line.clear();
         d.blob = false;
       },
       "descriptor missing revision-counter"},
      {"counter above u64",
       [](DocSpec& d) { d.counter_line = "revision-counter 18446744073709551616"; },
       "number too large to fit in target type"},
      {"counter not decimal", [](DocSpec& d) { d.counter_line = "revision-counter 4x2"; },
       "invalid digit found in string"},
      {"no blob", [](DocSpec& d) { d.blob = false; }, "descriptor missing superencrypted blob"},
      {"empty middle layer", [](DocSpec& d) { d.middle = ""; }, "PEM begin marker not found"},
      {"middle layer byte", [](DocSpec& d) { d.flip_middle = 40; }, kMacMismatch},
      {"inner layer byte", [](DocSpec& d) { d.flip_inner = 40; }, kMacMismatch},
      {"layers keyed with another counter", [](DocSpec& d) { d.counter = 41; }, kMacMismatch},
      {"signed by the blinded key", [](DocSpec& d) { d.sign_with_blinded_key = true; },
       kSignatureInvalid},
      {"text after the signature", [](DocSpec& d) { d.after_signature = "x\n"; },
       kSignatureInvalid},
      {"no usable point", [](DocSpec& d) { d.inner = "create2-formats 2\n"; }, kNoIntroPoints},
  };
  for (const Case& t : cases) {
    SCOPED_TRACE(t.name);
    DocSpec spec;
    t.change(spec);
    std::string doc = service().document(spec);
    if (t.message) {
      EXPECT_EQ(error_text([&] { decrypt_hs_descriptor(doc, service().keys()); }), t.message);
    } else {
      HiddenServiceDescriptor desc = decrypt_hs_descriptor(doc, service().keys());
      ASSERT_EQ(desc.intro_points.size(), 1u);
      EXPECT_EQ(desc.intro_points[0].auth_key, Bytes(32, 0x02));
    }
  }
}

TEST(SigningKeyCertificate, Rules) {
  struct Case {
    const char* name;
    void (*change)(CertSpec&, const Service&);
    bool valid;
  };
  const Case cases[] = {
      {"as issued", [](CertSpec&, const Service&) {}, true},
      {"unknown extension without the validation flag",
       [](CertSpec& c, const Service&) {
         c.extensions.push_back({7, 0, Bytes(3, 1), {}});
       },
       true},
      {"version 2", [](CertSpec& c, const Service&) { c.version = 2; }, false},
      {"type 09", [](CertSpec& c, const Service&) { c.cert_type = 9; }, false},
      {"key type 02", [](CertSpec& c, const Service&) { c.key_type = 2; }, false},
      {"no signed-with-key extension", [](CertSpec& c, const Service&) { c.extensions.clear(); },
       false},
      {"extension names another key",
       [](CertSpec& c, const Service& s) { c.extensions[0].data = s.signing().public_key; }, false},
      {"extension key of 31 bytes",
       [](CertSpec& c, const Service&) { c.extensions[0].data.resize(31); }, false},
      {"extension twice",
       [](CertSpec& c, const Service&) { c.extensions.push_back(c.extensions[0]); }, false},
      {"unknown extension affecting validation",
       [](CertSpec& c, const Service&) {
         c.extensions.push_back({7, 1, Bytes(3, 1), {}});
       },
       false},
      {"extension longer than the certificate",
       [](CertSpec& c, const Service&) { c.extensions[0].declared_len = 200; }, false},
      {"trailing byte", [](CertSpec& c, const Service&) { c.trailing = {0}; }, false},
      {"bad signature", [](CertSpec& c, const Service&) { c.bad_signature = true; }, false},
      {"signed by the certified key",
       [](CertSpec& c, const Service& s) { c.signer = &s.signing(); }, false},
  };
  for (const Case& t : cases) {
    SCOPED_TRACE(t.name);
    CertSpec spec = service().cert_spec();
    t.change(spec, service());
    Bytes cert = build_cert(spec);
    if (t.valid) {
      EXPECT_EQ(verify_descriptor_signing_cert(cert, service().blinded().public_key),
                service().signing().public_key);
    } else {
      EXPECT_EQ(
          error_text([&] { verify_descriptor_signing_cert(cert, service().blinded().public_key); }),
          kCertInvalid);
    }
  }
  Bytes cert = build_cert(service().cert_spec());
  for (std::size_t len : {0, 1, 39, 40, 103, 139}) {
    SCOPED_TRACE(len);
    Bytes truncated(cert.begin(), cert.begin() + std::min(len, cert.size() - 1));
    EXPECT_EQ(error_text([&] {
                verify_descriptor_signing_cert(truncated, service().blinded().public_key);
              }),
              kCertInvalid);
  }
}

TEST(DescriptorLayer, Format) {
  const Service& s = service();
  const directory::HsPeriodKeys keys = s.keys();
  struct Case {
    const char* name;
    Bytes blob;
    u64 counter;
    const char* message;
    std::string plaintext;
  };
  Bytes full = s.encrypt_layer("abc", 5, kEncrypted);
  const Case cases[] = {
      {"zero padding removed", full, 5, nullptr, "abc"},
      {"48 bytes", s.encrypt_layer("", 5, kEncrypted), 5, nullptr, ""},
      {"zeros only", s.encrypt_layer(std::string(10, '\0'), 5, kEncrypted), 5, nullptr, ""},
      {"47 bytes", Bytes(47, 0), 5, "descriptor ciphertext too short", ""},
      {"another counter", full, 6, kMacMismatch, ""},
  };
  for (const Case& t : cases) {
    SCOPED_TRACE(t.name);
    if (t.message) {
      EXPECT_EQ(error_text([&] { decrypt_layer(t.blob, keys, t.counter, kEncrypted); }), t.message);
    } else {
      EXPECT_EQ(decrypt_layer(t.blob, keys, t.counter, kEncrypted), cat({text_bytes(t.plaintext)}));
    }
  }
}

TEST(ExtractPemMessage, Markers) {
  struct Case {
    const char* text;
    const char* result_or_message;
    bool ok;
  };
  const Case cases[] = {
      {"x\n-----BEGIN A-----\nAB\nCD\n-----END A-----\n", "AB\nCD\n", true},
      {"-----BEGIN A----- skipped\nAB\n-----END A-----", "AB\n", true},
      {"-----BEGIN A-----\n-----END A-----", "", true},
      {"AB\n-----END A-----\n", "PEM begin marker not found", false},
      {"-----BEGIN A-----", "bad PEM begin line", false},
      {"-----BEGIN A-----\nAB\n", "PEM end marker not found", false},
      {"-----END A-----\n-----BEGIN A-----\nAB\n", "PEM end marker not found", false},
  };
  for (const Case& t : cases) {
    SCOPED_TRACE(t.text);
    auto call = [&] { return extract_pem_message(t.text, "-----BEGIN A-----", "-----END A-----"); };
    if (t.ok) {
      EXPECT_EQ(call(), t.result_or_message);
    } else {
      EXPECT_EQ(error_text(call), t.result_or_message);
    }
  }
}

TEST(ParseInnerDescriptor, IntroductionPoints) {
  auto with = [](void (*change)(PointText&)) {
    PointText p;
    change(p);
    return p.text();
  };
  const std::string point = PointText().text();
  const std::string cert_line = "-----BEGIN ED25519 CERT-----";
  struct Case {
    const char* name;
    std::string text;
    std::size_t kept;  // when message is nullptr
    const char* message;
  };
  const Case cases[] = {
      {"one point", point, 1, nullptr},
      {"two points", point + point, 2, nullptr},
      {"CR LF lines", with([](PointText& p) {
         p.onion += "\r";
         p.enc += "\r\r";
       }),
       1, nullptr},
      {"IPv4 after a short type 0", with([](PointText& p) {
         p.intro = "introduction-point " + b64(hex("02 00 05 0102030405 00 06 7F000001 1F90"));
       }),
       1, nullptr},
      {"second onion-key replaces the first",
       with([](PointText& p) { p.onion = "onion-key ntor " + b64(Bytes(31, 1)) + "\n" + p.onion; }),
       1, nullptr},
      {"a short second onion-key replaces a good one",
       with([](PointText& p) { p.onion += "\nonion-key ntor " + b64(Bytes(31, 1)); }), 0,
       kNoIntroPoints},
      {"extra words are ignored", with([](PointText& p) { p.enc += " extra"; }), 1, nullptr},
      {"enc-key of another type",
       with([](PointText& p) { p.enc = "enc-key x25519 " + b64(Bytes(32, 3)); }), 0,
       kNoIntroPoints},
      {"onion-key without its key", with([](PointText& p) { p.onion = "onion-key ntor"; }), 0,
       kNoIntroPoints},
      {"no IPv4 specifier",
       with([](PointText& p) { p.intro = "introduction-point " + b64(hex("01 02 02 0102")); }), 0,
       kNoIntroPoints},
      {"IPv4 specifier of 5 bytes", with([](PointText& p) {
         p.intro = "introduction-point " + b64(hex("01 00 05 0102030405"));
       }),
       0, kNoIntroPoints},
      {"keys before the first point are ignored",
       "onion-key ntor " + b64(Bytes(32, 1)) + "\n" + with([](PointText& p) { p.onion = ""; }), 0,
       kNoIntroPoints},
      {"auth-key before the first point is ignored", "auth-key\n" + point, 1, nullptr},
      {"lines taken with a certificate are not read as keys", with([](PointText& p) {
         p.auth = "auth-key\nonion-key ntor " + b64(Bytes(31, 1)) + "\n" +
                  join_lines(pem_lines("ED25519 CERT", plain_cert(1, 2)));
       }),
       1, nullptr},
      {"a dropped point beside a kept one", with([](PointText& p) { p.enc = ""; }) + point, 1,
       nullptr},
      {"empty text", "", 0, kNoIntroPoints},
      {"auth-key as the last line", with([](PointText& p) { p.auth = ""; }) + "auth-key", 0,
       "auth-key missing cert"},
      {"auth-key without a begin line",
       with([](PointText& p) { p.auth = "auth-key\nAQgA\n-----END ED25519 CERT-----\n"; }), 0,
       "auth-key missing cert"},
      {"certificate version 2", with([](PointText& p) {
         p.auth = "auth-key\n" + join_lines(pem_lines("ED25519 CERT", plain_cert(2, 2)));
       }),
       0, "unsupported ed25519 cert version"},
      {"certificate of 103 bytes", with([](PointText& p) {
         p.auth = "auth-key\n" + join_lines(pem_lines("ED25519 CERT", plain_cert(1, 2, 103)));
       }),
       0, "short ed25519 cert"},
      {"truncated link specifier",
       with([](PointText& p) { p.intro = "introduction-point " + b64(hex("01 00 06 7F00")); }), 0,
       "truncated link specifier body"},
      {"link specifier not base64", with([](PointText& p) { p.intro = "introduction-point !AAA"; }),
       0, "base64 decode failed: Invalid symbol 33, offset 0."},
  };
  for (const Case& t : cases) {
    SCOPED_TRACE(t.name);
    if (t.message) {
      EXPECT_EQ(error_text([&] { parse_inner_descriptor(t.text); }), t.message);
    } else {
      HiddenServiceDescriptor desc = parse_inner_descriptor(t.text);
      ASSERT_EQ(desc.intro_points.size(), t.kept);
      const IntroductionPoint& p = desc.intro_points[0];
      EXPECT_EQ(p.onion_key, Bytes(32, 0x01));
      EXPECT_EQ(p.auth_key, Bytes(32, 0x02));
      EXPECT_EQ(p.enc_key, Bytes(32, 0x03));
    }
  }
}

// --- robustness: mutated input throws Error or parses, never worse ---------

class Mutator {
 public:
  explicit Mutator(u32 seed) : rng_(seed) {}

  std::string mutate(std::string text) {
    int edits = 1 + static_cast<int>(rng_() % 4);
    for (int e = 0; e < edits; ++e) {
      std::size_t at = text.empty() ? 0 : rng_() % text.size();
      switch (rng_() % 6) {
        case 0:  // flip a byte
          if (!text.empty()) text[at] = static_cast<char>(rng_());
          break;
        case 1:  // truncate
          text.resize(at);
          break;
        case 2:  // insert a structural character
          text.insert(at, 1, "\n\r -=+/A0"[rng_() % 9]);
          break;
        case 3:  // delete a run
          text.erase(at, rng_() % 40);
          break;
        case 4: {  // duplicate a run
          std::string run = text.substr(at, rng_() % 200);
          text.insert(rng_() % (text.size() + 1), run);
          break;
        }
        default:  // insert a keyword
          static const char* const kWords[] = {"introduction-point ",
                                               "auth-key\n",
                                               "-----BEGIN ED25519 CERT-----\n",
                                               "-----END MESSAGE-----\n",
                                               "revision-counter 0\n",
                                               "onion-key ntor ",
                                               "signature "};
          text.insert(at, kWords[rng_() % 7]);
      }
    }
    return text;
  }

 private:
  std::mt19937 rng_;
};

// Runs `parse` over mutations of `seed`; any exception but Error fails the test.
template <typename Parse>
void fuzz(const std::string& seed, int rounds, u32 rng_seed, Parse parse) {
  Mutator mutator(rng_seed);
  for (int i = 0; i < rounds; ++i) {
    std::string input = mutator.mutate(seed);
    try {
      parse(input);
    } catch (const error::Error&) {
    }
  }
}

TEST(Robustness, MutatedOuterDocuments) {
  const Captured& c = captured();
  fuzz(c.outer, 1500, 1, [&](const std::string& in) { decrypt_hs_descriptor(in, c.keys); });
  // Signed after the mutation, so that the layers and the inner parser are reached.
  std::string doc = service().document(DocSpec{});
  std::string unsigned_doc = doc.substr(0, doc.rfind("signature "));
  fuzz(unsigned_doc, 1500, 2, [&](const std::string& in) {
    decrypt_hs_descriptor(service().sign(in, service().signing()), service().keys());
  });
}

TEST(Robustness, MutatedLayers) {
  const Captured& c = captured();
  std::string middle = util::to_string_lossy(
      decrypt_layer(message_blob(c.outer), c.keys, c.revision_counter, kSuperencrypted));
  std::string inner = util::to_string_lossy(
      decrypt_layer(message_blob(middle), c.keys, c.revision_counter, kEncrypted));
  fuzz(inner, 3000, 3, [](const std::string& in) { parse_inner_descriptor(in); });
  fuzz(middle, 1000, 4, [](const std::string& in) {
    extract_pem_message(in, "-----BEGIN MESSAGE-----", "-----END MESSAGE-----");
  });
}

TEST(Robustness, MutatedCertificates) {
  Bytes issued = build_cert(service().cert_spec());
  std::string cert(issued.begin(), issued.end());
  fuzz(cert, 3000, 5, [](const std::string& in) {
    verify_descriptor_signing_cert(text_bytes(in), service().blinded().public_key);
  });
  std::string auth_text = PointText().auth;
  fuzz(auth_text, 2000, 6, [](const std::string& in) { parse_ed25519_cert_subject(in); });
}

}  // namespace
}  // namespace mistgrove_core::hs
