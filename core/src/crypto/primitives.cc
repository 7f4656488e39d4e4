// Stateless primitives: one-shot hashes, HMAC-SHA256, the two KDFs of the
// Tor protocols, the onion-service MAC, randomness and byte hygiene.
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <sys/random.h>  // getentropy, on glibc and macOS alike

#include <algorithm>
#include <cerrno>
#include <initializer_list>
#include <stdexcept>

#include "mistgrove_core/crypto.h"
#include "mistgrove_core/error.h"
#include "openssl_check.h"
#include "sodium_ready.h"

namespace mistgrove_core::crypto {

void Free<EVP_MD_CTX>::operator()(EVP_MD_CTX* p) const noexcept { EVP_MD_CTX_free(p); }
void Free<EVP_CIPHER_CTX>::operator()(EVP_CIPHER_CTX* p) const noexcept { EVP_CIPHER_CTX_free(p); }

namespace {

// Digest of the concatenation of `parts`; `xof_len` bytes for an
// extendable-output function.
Bytes digest(const EVP_MD* md, std::initializer_list<ByteView> parts, std::size_t xof_len = 0) {
  UniquePtr<EVP_MD_CTX> ctx(EVP_MD_CTX_new());
  check_ossl(ctx && EVP_DigestInit_ex(ctx.get(), md, nullptr) == 1, "EVP_DigestInit_ex");
  for (ByteView part : parts)
    check_ossl(EVP_DigestUpdate(ctx.get(), part.data(), part.size()) == 1, "EVP_DigestUpdate");
  if (xof_len > 0) {
    Bytes out(xof_len);
    check_ossl(EVP_DigestFinalXOF(ctx.get(), out.data(), out.size()) == 1, "EVP_DigestFinalXOF");
    return out;
  }
  Bytes out(static_cast<std::size_t>(EVP_MD_get_size(md)));
  check_ossl(EVP_DigestFinal_ex(ctx.get(), out.data(), nullptr) == 1, "EVP_DigestFinal_ex");
  return out;
}

// Fetched once and kept for the process: EVP_sha3_256() and its kin in an
// init call make OpenSSL look the implementation up in its providers on
// every hash.
const EVP_MD* fetch_md(const char* name) {
  EVP_MD* md = EVP_MD_fetch(nullptr, name, nullptr);
  check_ossl(md != nullptr, "EVP_MD_fetch");
  return md;
}
const EVP_MD* fetched_sha1() {
  static const EVP_MD* const md = fetch_md("SHA1");
  return md;
}
const EVP_MD* fetched_sha256() {
  static const EVP_MD* const md = fetch_md("SHA2-256");
  return md;
}
const EVP_MD* fetched_shake256() {
  static const EVP_MD* const md = fetch_md("SHAKE-256");
  return md;
}

constexpr std::string_view kNtorExpandInfo = "ntor-curve25519-sha256-1:key_expand";
constexpr std::size_t kNtorKeyLen = 92;

}  // namespace

const EVP_MD* fetched_sha3_256() {
  static const EVP_MD* const md = fetch_md("SHA3-256");
  return md;
}

Bytes sha1(ByteView data) { return digest(fetched_sha1(), {data}); }
Bytes sha256(ByteView data) { return digest(fetched_sha256(), {data}); }
Bytes sha3_256(ByteView data) { return digest(fetched_sha3_256(), {data}); }

Sha3Hasher::Sha3Hasher() : ctx_(EVP_MD_CTX_new()) { check_ossl(ctx_ != nullptr, "EVP_MD_CTX_new"); }

std::array<u8, 32> Sha3Hasher::hash(std::initializer_list<ByteView> parts) {
  check_ossl(EVP_DigestInit_ex2(ctx_.get(), fetched_sha3_256(), nullptr) == 1,
             "EVP_DigestInit_ex2");
  for (ByteView part : parts)
    check_ossl(EVP_DigestUpdate(ctx_.get(), part.data(), part.size()) == 1, "EVP_DigestUpdate");
  std::array<u8, 32> out{};
  check_ossl(EVP_DigestFinal_ex(ctx_.get(), out.data(), nullptr) == 1, "EVP_DigestFinal_ex");
  return out;
}

Bytes shake256(ByteView data, std::size_t out_len) {
  if (out_len == 0) return {};
  return digest(fetched_shake256(), {data}, out_len);
}

// libsodium's HMAC works in a state on the stack, where OpenSSL's one-shot
// HMAC fetches the MAC and the digest by name and allocates contexts for each
// of the ntor handshake's many calls.
Bytes hmac_sha256(ByteView key, ByteView message) {
  ensure_sodium();
  // libsodium wants real pointers even for empty input.
  static const u8 kNothing = 0;
  auto data = [](ByteView v) { return v.empty() ? &kNothing : v.data(); };
  crypto_auth_hmacsha256_state state;
  Bytes out(crypto_auth_hmacsha256_BYTES);
  crypto_auth_hmacsha256_init(&state, data(key), key.size());
  crypto_auth_hmacsha256_update(&state, data(message), message.size());
  crypto_auth_hmacsha256_final(&state, out.data());
  sodium_memzero(&state, sizeof state);  // the padded key's hash states
  return out;
}

Bytes hkdf_sha256_expand(ByteView key_seed) {
  Bytes out;
  Bytes block;  // T(i-1), empty for T(0)
  for (u8 i = 1; out.size() < kNtorKeyLen; ++i) {
    util::ByteWriter input;
    input.put_bytes(block);
    input.put_bytes(util::text_bytes(kNtorExpandInfo));
    input.put_u8(i);
    block = hmac_sha256(key_seed, input.take());
    out.insert(out.end(), block.begin(), block.end());
  }
  out.resize(kNtorKeyLen);
  return out;
}

Bytes kdf_tor(ByteView seed, std::size_t out_len) {
  // The counter is one byte: 256 blocks of 20 bytes at most.
  if (out_len > 256 * 20) throw std::length_error("kdf_tor output too long");
  Bytes out;
  out.reserve(out_len + 20);
  // Sized once: a buffer that grew would free its first copy of the seed
  // unwiped.
  Bytes input(seed.size() + 1);
  std::copy(seed.begin(), seed.end(), input.begin());
  for (unsigned i = 0; out.size() < out_len; ++i) {
    input.back() = static_cast<u8>(i);
    Bytes block = sha1(input);
    out.insert(out.end(), block.begin(), block.end());
    wipe(block);
  }
  wipe(input);
  // What resize cuts off stays in the buffer's capacity.
  wipe(std::span(out).subspan(out_len));
  out.resize(out_len);
  return out;
}

Bytes tor_mac(ByteView key, ByteView message) {
  util::ByteWriter key_len;
  key_len.put_u64(key.size());
  return digest(fetched_sha3_256(), {key_len.take(), key, message});
}

void wipe(std::span<u8> data) { OPENSSL_cleanse(data.data(), data.size()); }

bool ct_equal(ByteView a, ByteView b) {
  return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

Bytes random_bytes(std::size_t n) {
  Bytes out(n);
  constexpr std::size_t kMaxPerCall = 256;  // getentropy's limit
  for (std::size_t at = 0; at < n; at += kMaxPerCall) {
    if (getentropy(out.data() + at, std::min(kMaxPerCall, n - at)) != 0)
      throw error::os_error(errno);
  }
  return out;
}

}  // namespace mistgrove_core::crypto
