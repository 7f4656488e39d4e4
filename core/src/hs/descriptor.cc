// Onion-service descriptors: the outer document's signing-key certificate and
// signature, the two encrypted layers, and the inner layer's introduction points.
#include "descriptor.h"

#include <algorithm>

#include "mistgrove_core/crypto.h"
#include "mistgrove_core/error.h"
#include "mistgrove_core/hs.h"

namespace mistgrove_core::hs {
namespace {

using error::ensure;
using error::err;
using error::Error;

constexpr std::string_view kMessageBegin = "-----BEGIN MESSAGE-----";
constexpr std::string_view kMessageEnd = "-----END MESSAGE-----";
constexpr std::string_view kCertBegin = "-----BEGIN ED25519 CERT-----";
constexpr std::string_view kCertEnd = "-----END ED25519 CERT-----";
constexpr std::string_view kSuperencryptedConstant = "hsdir-superencrypted-data";
constexpr std::string_view kEncryptedConstant = "hsdir-encrypted-data";
// The descriptor signature covers this prefix followed by the document.
constexpr std::string_view kSignaturePrefix = "Tor onion service descriptor sig v3";

constexpr const char* kCertInvalid = "descriptor signing key certificate invalid";
constexpr const char* kCertExpired = "descriptor signing key certificate expired";
constexpr const char* kSignatureInvalid = "descriptor signature invalid";

// Ed25519 certificate fields (binary form of version 1).
constexpr u8 kCertVersion = 1;
constexpr u8 kCertTypeDescriptorSigning = 0x08;
constexpr u8 kCertKeyTypeEd25519 = 0x01;
constexpr u8 kExtSignedWithKey = 0x04;
constexpr u8 kExtFlagAffectsValidation = 0x01;
constexpr std::size_t kEd25519KeyLen = 32;
constexpr std::size_t kEd25519SignatureLen = 64;
// A version-1 certificate without extensions: header, key, count, signature.
constexpr std::size_t kMinCertLen = 104;

constexpr std::size_t kSaltLen = 16;
constexpr std::size_t kLayerMacLen = 32;

std::vector<std::string_view> split_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::string_view line;
  for (util::LineReader reader(text); reader.next(line);) lines.push_back(line);
  return lines;
}

// Splitting costs far more than a search, and only a line holding the keyword
// can start with it.
bool first_word_is(std::string_view line, std::string_view keyword) {
  if (line.find(keyword) == std::string_view::npos) return false;
  auto words = util::split_ws(line);
  return !words.empty() && words[0] == keyword;
}

// A certificate that follows a keyword line: that line, then the following
// lines up to and including the first END line (or to the end of the text).
struct CollectedCert {
  std::string text;
  std::size_t last_line = 0;  // index of the last line taken
  bool has_begin = false;     // one of the following lines is the BEGIN line
};

CollectedCert collect_cert(const std::vector<std::string_view>& lines, std::size_t keyword_line) {
  CollectedCert cert{std::string(lines[keyword_line]) + "\n", keyword_line};
  for (std::size_t i = keyword_line + 1; i < lines.size(); ++i) {
    cert.text.append(lines[i]).push_back('\n');
    cert.last_line = i;
    if (lines[i] == kCertBegin) cert.has_begin = true;
    if (lines[i] == kCertEnd) break;
  }
  return cert;
}

// The certified key of the document's "descriptor-signing-key-cert".
Bytes certified_signing_key(std::string_view outer, ByteView blinded_key, u64 now) {
  Bytes der;
  try {
    auto lines = split_lines(outer);
    auto line = std::ranges::find_if(
        lines, [](std::string_view l) { return first_word_is(l, "descriptor-signing-key-cert"); });
    ensure(line != lines.end(), kCertInvalid);
    CollectedCert cert = collect_cert(lines, line - lines.begin());
    der = util::base64_decode(extract_pem_message(cert.text, kCertBegin, kCertEnd));
  } catch (const Error&) {
    throw err(kCertInvalid);
  }
  return verify_descriptor_signing_cert(der, blinded_key, now);
}

// The last line must be "signature" and its Ed25519 signature, by the signing
// key, over the prefix and every byte before that line.
void verify_signature_line(std::string_view outer, ByteView signing_key) {
  std::size_t end = outer.size();
  if (end > 0 && outer[end - 1] == '\n') --end;
  std::size_t nl = end == 0 ? std::string_view::npos : outer.rfind('\n', end - 1);
  std::size_t start = nl == std::string_view::npos ? 0 : nl + 1;
  auto words = util::split_ws(outer.substr(start, end - start));
  ensure(words.size() == 2 && words[0] == "signature", kSignatureInvalid);
  Bytes signature;
  try {
    signature = util::base64_decode(words[1]);
  } catch (const Error&) {
    throw err(kSignatureInvalid);
  }
  Bytes message =
      util::concat({util::text_bytes(kSignaturePrefix), util::text_bytes(outer.substr(0, start))});
  ensure(crypto::ed25519_verify(signature, message, signing_key), kSignatureInvalid);
}

bool usable(const IntroductionPoint& point) {
  bool has_ipv4 =
      std::ranges::any_of(point.link_specifiers, [](const auto& spec) { return spec.is_ipv4(); });
  return has_ipv4 && point.onion_key.size() == 32 && point.auth_key.size() == 32 &&
         point.enc_key.size() == 32;
}

}  // namespace

Bytes verify_descriptor_signing_cert(ByteView cert, ByteView blinded_key, u64 now) {
  auto check = [](bool condition) { ensure(condition, kCertInvalid); };
  util::ByteReader reader(cert);  // a short read fails kCertInvalid
  check(reader.read_u8(kCertInvalid) == kCertVersion);
  check(reader.read_u8(kCertInvalid) == kCertTypeDescriptorSigning);
  const u64 expires = u64{reader.read_u32(kCertInvalid)} * 3600;  // given in hours
  check(reader.read_u8(kCertInvalid) == kCertKeyTypeEd25519);
  ByteView certified = reader.read_bytes(kEd25519KeyLen, kCertInvalid);
  bool signed_with_key = false;
  for (u8 n = reader.read_u8(kCertInvalid); n > 0; --n) {
    u16 len = reader.read_u16(kCertInvalid);
    u8 type = reader.read_u8(kCertInvalid);
    u8 flags = reader.read_u8(kCertInvalid);
    ByteView data = reader.read_bytes(len, kCertInvalid);
    if (type == kExtSignedWithKey) {
      check(!signed_with_key && std::ranges::equal(data, blinded_key));
      signed_with_key = true;
    } else {
      // An extension we do not understand may not affect validation.
      check((flags & kExtFlagAffectsValidation) == 0);
    }
  }
  check(signed_with_key);
  std::size_t signed_len = cert.size() - reader.remaining();
  ByteView signature = reader.read_bytes(kEd25519SignatureLen, kCertInvalid);
  check(reader.remaining() == 0);
  check(crypto::ed25519_verify(signature, cert.first(signed_len), blinded_key));
  // Judged only once the signature holds: a forged date is just invalid.
  ensure(now <= expires, kCertExpired);
  return Bytes(certified.begin(), certified.end());
}

Bytes verify_hs_descriptor(std::string_view outer, ByteView blinded_key, u64 now) {
  Bytes signing_key = certified_signing_key(outer, blinded_key, now);
  verify_signature_line(outer, signing_key);
  return signing_key;
}

std::string extract_pem_message(std::string_view text, std::string_view begin,
                                std::string_view end) {
  std::size_t start = text.find(begin);
  ensure(start != std::string_view::npos, "PEM begin marker not found");
  std::size_t nl = text.find('\n', start);
  ensure(nl != std::string_view::npos, "bad PEM begin line");
  std::size_t stop = text.find(end, nl);
  ensure(stop != std::string_view::npos, "PEM end marker not found");
  return std::string(text.substr(nl + 1, stop - nl - 1));
}

Bytes decrypt_descriptor_layer(ByteView blob, ByteView blinded_key, ByteView subcredential,
                               u64 revision_counter, std::string_view layer_constant) {
  ensure(blob.size() >= kSaltLen + kLayerMacLen, "descriptor ciphertext too short");
  ByteView salt = blob.first(kSaltLen);
  ByteView encrypted = blob.subspan(kSaltLen, blob.size() - kSaltLen - kLayerMacLen);
  ByteView mac = blob.last(kLayerMacLen);

  util::ByteWriter kdf_input;
  kdf_input.put_bytes(blinded_key);
  kdf_input.put_bytes(subcredential);
  kdf_input.put_u64(revision_counter);
  kdf_input.put_bytes(salt);
  kdf_input.put_bytes(util::text_bytes(layer_constant));
  // SECRET_KEY (32) | SECRET_IV (16) | MAC_KEY (32)
  Bytes keys = crypto::shake256(kdf_input.take(), 80);
  ByteView secret_key = ByteView(keys).first(32);
  ByteView secret_iv = ByteView(keys).subspan(32, 16);
  ByteView mac_key = ByteView(keys).subspan(48, 32);
  // MAC = SHA3-256(INT_8(len(MAC_KEY)) | MAC_KEY | INT_8(len(SALT)) | SALT | ENCRYPTED)
  util::ByteWriter mac_input;
  mac_input.put_u64(salt.size());
  mac_input.put_bytes(salt);
  mac_input.put_bytes(encrypted);
  Bytes expected = crypto::tor_mac(mac_key, mac_input.take());
  ensure(crypto::ct_equal(expected, mac), "descriptor layer MAC mismatch");

  Bytes plaintext = crypto::aes_ctr_crypt(secret_key, encrypted, secret_iv);
  while (!plaintext.empty() && plaintext.back() == 0) plaintext.pop_back();
  return plaintext;
}

Bytes parse_ed25519_cert_subject(std::string_view text) {
  Bytes cert = util::base64_decode(extract_pem_message(text, kCertBegin, kCertEnd));
  ensure(cert.size() >= kMinCertLen, "short ed25519 cert");
  ensure(cert[0] == kCertVersion, "unsupported ed25519 cert version");
  return Bytes(cert.begin() + 7, cert.begin() + 7 + kEd25519KeyLen);
}

constexpr std::string_view kInnerKeywords[] = {"introduction-point", "onion-key", "enc-key",
                                               "auth-key"};

HiddenServiceDescriptor parse_inner_descriptor(std::string_view inner) {
  auto lines = split_lines(inner);
  std::vector<IntroductionPoint> points;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    // Most lines are certificate bodies; only those naming a keyword can start with one.
    if (!std::ranges::any_of(kInnerKeywords, [&](std::string_view k) {
          return lines[i].find(k) != std::string_view::npos;
        }))
      continue;
    auto words = util::split_ws(lines[i]);
    if (words.empty()) continue;
    if (words[0] == "introduction-point" && words.size() >= 2) {
      points.push_back(
          {directory::parse_link_specifiers(util::base64_decode(words[1])), {}, {}, {}});
      continue;
    }
    if (points.empty()) continue;  // key lines before the first point
    IntroductionPoint& current = points.back();
    if (words[0] == "onion-key" && words.size() >= 3 && words[1] == "ntor") {
      current.onion_key = util::base64_decode(words[2]);
    } else if (words[0] == "enc-key" && words.size() >= 3 && words[1] == "ntor") {
      current.enc_key = util::base64_decode(words[2]);
    } else if (words[0] == "auth-key") {
      CollectedCert cert = collect_cert(lines, i);
      ensure(cert.has_begin, "auth-key missing cert");
      current.auth_key = parse_ed25519_cert_subject(cert.text);
      i = cert.last_line;  // the certificate's own lines are not dispatched
    }
  }
  std::erase_if(points, [](const IntroductionPoint& point) { return !usable(point); });
  ensure(!points.empty(), "descriptor has no usable introduction points");
  return HiddenServiceDescriptor{std::move(points)};
}

HiddenServiceDescriptor decrypt_hs_descriptor(std::string_view outer,
                                              const directory::HsPeriodKeys& keys, u64 now) {
  u64 revision_counter = 0;
  std::string blob;
  bool in_blob = false;
  std::string_view line;
  for (util::LineReader reader(outer); reader.next(line);) {
    if (first_word_is(line, "revision-counter")) {
      auto words = util::split_ws(line);
      if (words.size() >= 2) revision_counter = util::parse_u64(words[1]);
    }
    if (line == kMessageBegin) {
      in_blob = true;
    } else if (!in_blob) {
      continue;
    }
    blob.append(line).push_back('\n');
    if (line == kMessageEnd) in_blob = false;
  }
  ensure(revision_counter != 0 || outer.find("revision-counter 0") != std::string_view::npos,
         "descriptor missing revision-counter");
  ensure(!blob.empty(), "descriptor missing superencrypted blob");

  // The layer keys derive from public values, so only the signature chain
  // back to the blinded key shows that the service wrote this document.
  verify_hs_descriptor(outer, keys.blinded_key, now);

  Bytes superencrypted = util::base64_decode(extract_pem_message(blob, kMessageBegin, kMessageEnd));
  std::string middle = util::to_string_lossy(
      decrypt_descriptor_layer(superencrypted, keys.blinded_key, keys.subcredential,
                               revision_counter, kSuperencryptedConstant));
  Bytes encrypted = util::base64_decode(extract_pem_message(middle, kMessageBegin, kMessageEnd));
  std::string inner = util::to_string_lossy(decrypt_descriptor_layer(
      encrypted, keys.blinded_key, keys.subcredential, revision_counter, kEncryptedConstant));
  return parse_inner_descriptor(inner);
}

}  // namespace mistgrove_core::hs
