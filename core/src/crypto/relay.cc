// Per-hop relay cryptography: the running digests and the building and
// recognizing of 509-byte relay-cell bodies.
//
// The SHA-1 digest of relay hops is a SHA_CTX held by value: every received
// cell is tried with a copy of the backward digest, and copying a plain struct
// costs nothing next to EVP_MD_CTX_copy_ex, which allocates. The SHA1_*
// functions are deprecated in OpenSSL 3 but are the same accelerated code.
#define OPENSSL_SUPPRESS_DEPRECATED  // before any OpenSSL header

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/sha.h>

#include <algorithm>
#include <stdexcept>

#include "mistgrove_core/crypto.h"
#include "mistgrove_core/error.h"
#include "openssl_check.h"

namespace mistgrove_core::crypto {
namespace {

// The body header (crypto.h) as offsets; the builder and the parser below
// write and read the fields in this order.
constexpr std::size_t kRecognizedOffset = 1;
constexpr std::size_t kRecognizedLen = 2;
constexpr std::size_t kDigestOffset = 5;
constexpr std::size_t kDigestFieldLen = 4;
constexpr std::size_t kDataOffset = 11;
static_assert(kRelayBodyLen - kDataOffset == kRelayDataMax);

UniquePtr<EVP_MD_CTX> copy_md_ctx(const EVP_MD_CTX* from) {
  UniquePtr<EVP_MD_CTX> ctx(EVP_MD_CTX_new());
  check_ossl(ctx && EVP_MD_CTX_copy_ex(ctx.get(), from) == 1, "EVP_MD_CTX_copy_ex");
  return ctx;
}

AesCtr relay_cipher(ByteView key) {
  static constexpr std::array<u8, 16> kZeroIv{};
  try {
    return AesCtr(key, kZeroIv);
  } catch (const error::Error& e) {
    throw std::logic_error("valid relay AES key length: " + error::debug_form(e));
  }
}

}  // namespace

DigestState::DigestState(Kind kind, ByteView seed) : kind_(kind) {
  if (kind_ == Kind::Sha1) {
    SHA1_Init(&sha1_);
  } else {
    sha3_.reset(EVP_MD_CTX_new());
    check_ossl(sha3_ && EVP_DigestInit_ex(sha3_.get(), fetched_sha3_256(), nullptr) == 1,
               "EVP_DigestInit_ex");
  }
  update(seed);
}

DigestState::DigestState(const DigestState& other) : kind_(other.kind_), sha1_(other.sha1_) {
  if (other.sha3_) sha3_ = copy_md_ctx(other.sha3_.get());
}

DigestState::~DigestState() { OPENSSL_cleanse(&sha1_, sizeof sha1_); }

DigestState& DigestState::operator=(const DigestState& other) {
  if (this != &other) *this = DigestState(other);
  return *this;
}

void DigestState::update(ByteView body) {
  if (kind_ == Kind::Sha1)
    SHA1_Update(&sha1_, body.data(), body.size());
  else
    check_ossl(EVP_DigestUpdate(sha3_.get(), body.data(), body.size()) == 1, "EVP_DigestUpdate");
}

std::size_t DigestState::current_into(std::span<u8, kMaxDigestLen> out) const {
  if (kind_ == Kind::Sha1) {
    SHA_CTX finished = sha1_;
    SHA1_Final(out.data(), &finished);
    return SHA_DIGEST_LENGTH;
  }
  UniquePtr<EVP_MD_CTX> finished = copy_md_ctx(sha3_.get());
  unsigned int len = 0;
  check_ossl(EVP_DigestFinal_ex(finished.get(), out.data(), &len) == 1, "EVP_DigestFinal_ex");
  return len;
}

Bytes DigestState::current() const {
  std::array<u8, kMaxDigestLen> out;
  const std::size_t len = current_into(out);
  return Bytes(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(len));
}

RelayCrypto::RelayCrypto(ByteView df, ByteView db, ByteView kf, ByteView kb, bool sha3)
    : forward(relay_cipher(kf)),
      backward(relay_cipher(kb)),
      forward_digest(sha3 ? DigestState::Kind::Sha3 : DigestState::Kind::Sha1, df),
      backward_digest(sha3 ? DigestState::Kind::Sha3 : DigestState::Kind::Sha1, db) {}

Bytes RelayCrypto::encrypt_relay(u8 command, u16 stream_id, ByteView data) {
  if (data.size() > kRelayDataMax) throw error::Error("relay payload too large");
  util::ByteWriter writer(kRelayBodyLen);
  writer.put_u8(command);
  writer.put_u16(0);  // recognized
  writer.put_u16(stream_id);
  writer.put_u32(0);  // digest, filled in below
  writer.put_u16(static_cast<u16>(data.size()));
  static_assert(kDigestFieldLen == sizeof(u32));
  writer.put_bytes(data);
  Bytes body = writer.take();
  body.resize(kRelayBodyLen, 0);

  forward_digest.update(body);
  std::array<u8, kMaxDigestLen> digest;
  forward_digest.current_into(digest);
  std::copy_n(digest.begin(), kDigestFieldLen, body.begin() + kDigestOffset);
  forward.apply_in_place(body);
  return body;
}

bool RelayCrypto::recognize_decrypted(ByteView body) {
  if (body.size() != kRelayBodyLen) return false;
  static constexpr std::array<u8, kRecognizedLen> kZeroRecognized{};
  if (!std::equal(kZeroRecognized.begin(), kZeroRecognized.end(), body.begin() + kRecognizedOffset))
    return false;
  // The sender's digest covers the body with its digest field zeroed. Try it
  // on a copy, so that a body meant for another hop leaves no trace.
  static constexpr std::array<u8, kDigestFieldLen> kZeroField{};
  DigestState trial = backward_digest;
  trial.update(body.first(kDigestOffset));
  trial.update(kZeroField);
  trial.update(body.subspan(kDigestOffset + kDigestFieldLen));
  std::array<u8, kMaxDigestLen> digest;
  trial.current_into(digest);
  if (!ct_equal(ByteView(digest).first(kDigestFieldLen),
                body.subspan(kDigestOffset, kDigestFieldLen)))
    return false;
  backward_digest = std::move(trial);
  return true;
}

RelayCell parse_relay_body(ByteView body) {
  if (body.size() != kRelayBodyLen) throw error::Error("bad relay body");
  util::ByteReader reader(body);  // a whole body: no read below runs short
  RelayCell cell;
  cell.command = reader.read_u8("bad relay body");
  reader.read_bytes(kRecognizedLen, "bad relay body");
  cell.stream_id = reader.read_u16("bad relay body");
  reader.read_bytes(kDigestFieldLen, "bad relay body");
  const u16 len = reader.read_u16("bad relay body");
  if (len > kRelayDataMax) throw error::Error("relay length too large");
  const ByteView data = reader.read_bytes(len, "bad relay body");
  cell.data.assign(data.begin(), data.end());
  return cell;
}

}  // namespace mistgrove_core::crypto
