// All cryptography of the core: hashes, KDFs, X25519, AES counter mode and
// the per-hop relay-cell cryptography (509-byte bodies, running digests).
#pragma once

#include <openssl/bio.h>
#include <openssl/sha.h>
#include <openssl/types.h>

#include <array>
#include <initializer_list>
#include <memory>
#include <optional>
#include <random>

#include "mistgrove_core/util.h"

namespace mistgrove_core::crypto {

// Owning handles for OpenSSL objects, e.g. UniquePtr<EVP_MD_CTX>. Every handle
// type's deleter is declared here; the TLS ones are defined by the relay link
// (tor), the one module that links libssl.
template <typename T>
struct Free;
template <typename T>
using UniquePtr = std::unique_ptr<T, Free<T>>;

template <>
struct Free<EVP_MD_CTX> {
  void operator()(EVP_MD_CTX* p) const noexcept;
};
template <>
struct Free<EVP_CIPHER_CTX> {
  void operator()(EVP_CIPHER_CTX* p) const noexcept;
};
template <>
struct Free<SSL_CTX> {
  void operator()(SSL_CTX* p) const noexcept;
};
template <>
struct Free<SSL> {
  void operator()(SSL* p) const noexcept;
};
template <>
struct Free<BIO_METHOD> {
  void operator()(BIO_METHOD* p) const noexcept;
};

// Relay-cell body (the payload of a RELAY or RELAY_EARLY cell), big-endian:
//   0 command | 1-2 recognized | 3-4 stream id | 5-8 digest | 9-10 length |
//   11.. data, then zero fill to 509 bytes.
inline constexpr std::size_t kRelayBodyLen = 509;
// Largest data field of one relay cell.
inline constexpr std::size_t kRelayDataMax = 498;
// Largest running digest (SHA3-256); SHA-1 gives 20 bytes.
inline constexpr std::size_t kMaxDigestLen = 32;

// One relay cell recognized at some hop (which hop is not recorded).
struct RelayCell {
  Bytes data;  // at most 498 bytes
  u16 stream_id = 0;
  u8 command = 0;
};

// Splits a recognized, decrypted 509-byte body: "bad relay body" for another
// length, "relay length too large" when the length field passes 498.
RelayCell parse_relay_body(ByteView body);

Bytes sha1(ByteView data);
Bytes sha256(ByteView data);
Bytes sha3_256(ByteView data);
Bytes shake256(ByteView data, std::size_t out_len);
// RFC 2104; a key longer than 64 bytes is first replaced by its SHA-256.
Bytes hmac_sha256(ByteView key, ByteView message);
// HKDF-Expand (RFC 5869) with info "ntor-curve25519-sha256-1:key_expand", 92 bytes.
Bytes hkdf_sha256_expand(ByteView key_seed);
// KDF-TOR: SHA1(seed | 0) | SHA1(seed | 1) | ... cut to out_len bytes (none
// hashed for 0).
Bytes kdf_tor(ByteView seed, std::size_t out_len);
// The MAC of onion services: SHA3-256(INT_8(len(key)) | key | message).
Bytes tor_mac(ByteView key, ByteView message);
// RFC 7748 X25519 with a clamped scalar. An all-zero result (the peer sent a
// point of small order) is returned as it is: callers decide.
Bytes x25519_shared(ByteView secret, ByteView peer_public);
Bytes x25519_public_from_private(ByteView secret);
// One fresh keystream (IV of 16 zero bytes when none is given) over the data.
Bytes aes_ctr_crypt(ByteView key, ByteView data, std::optional<ByteView> iv = std::nullopt);

// Ed25519 through libsodium. ed25519_valid_point refuses non-canonical
// encodings, small-order points and points outside the prime-order subgroup.
bool ed25519_verify(ByteView signature, ByteView message, ByteView public_key);
bool ed25519_valid_point(ByteView public_key);
// The key times `param` (32 bytes) clamped as a secret scalar and reduced
// mod l; nullopt unless the key is a valid point and the product is not the
// identity.
std::optional<Bytes> ed25519_blind_public_key(ByteView public_key, ByteView param);

// Overwrites the bytes with zeros in a way the compiler keeps.
void wipe(std::span<u8> data);
// Constant-time equality of two byte strings (false when lengths differ).
bool ct_equal(ByteView a, ByteView b);
// Key material from the operating system's random source.
Bytes random_bytes(std::size_t n);
// The calling thread's generator for shuffles (relays, directories,
// introduction points), seeded once per thread from random_bytes. Never a
// source of key material.
std::mt19937_64& thread_rng();

// SHA3-256 of many short inputs in a row (the HSDir ring hashes one per
// relay): the algorithm is fetched once per process and the context reused,
// where a one-shot hash looks the algorithm up and allocates every time.
class Sha3Hasher {
 public:
  Sha3Hasher();
  // SHA3-256 of the concatenation of `parts`.
  std::array<u8, 32> hash(std::initializer_list<ByteView> parts);

 private:
  UniquePtr<EVP_MD_CTX> ctx_;
};

// Key material that is overwritten with zeros when it goes out of scope.
struct Secret {
  Bytes bytes;
  Secret() = default;
  explicit Secret(Bytes b) : bytes(std::move(b)) {}
  Secret(const Secret&) = delete;
  Secret& operator=(const Secret&) = delete;
  ~Secret() { wipe(bytes); }
  ByteView view(std::size_t offset, std::size_t len) const {
    return ByteView(bytes).subspan(offset, len);
  }
};

// One AES-128 or AES-256 keystream (by key length) in counter mode with a
// 128-bit big-endian counter starting at the IV; how data is cut into calls
// does not change the keystream.
class AesCtr {
 public:
  // Fails "bad aes ctr iv" unless the IV has 16 bytes, then "aes setkey
  // failed" unless the key has 16 or 32.
  AesCtr(ByteView key, ByteView iv);

  Bytes apply(ByteView data);
  // Same keystream, XORed in place.
  void apply_in_place(std::span<u8> data);

 private:
  UniquePtr<EVP_CIPHER_CTX> ctx_;
};

// A running SHA-1 or SHA3-256 over a relay hop's seed and bodies. Reading it
// never ends the computation. SHA-1 is held by value, so copying it (the
// tentative update of every received cell) allocates nothing.
class DigestState {
 public:
  enum class Kind { Sha1, Sha3 };
  DigestState(Kind kind, ByteView seed);
  DigestState(const DigestState& other);
  DigestState& operator=(const DigestState& other);
  DigestState(DigestState&&) noexcept = default;
  DigestState& operator=(DigestState&&) noexcept = default;
  ~DigestState();  // wipes the SHA-1 state, which holds the hop's seed

  void update(ByteView body);
  // Digest of everything absorbed so far: 20 bytes (SHA-1) or 32 (SHA3-256).
  Bytes current() const;
  // The same digest written to the front of `out`; returns its length.
  std::size_t current_into(std::span<u8, kMaxDigestLen> out) const;

 private:
  Kind kind_;
  SHA_CTX sha1_{};              // Kind::Sha1
  UniquePtr<EVP_MD_CTX> sha3_;  // Kind::Sha3
};

// One hop's relay cryptography. The hop at the other end keeps the same four
// positions, so every body built for this hop must be sent, and every RELAY
// body reaching this hop must pass through `backward`, recognized or not.
class RelayCrypto {
 public:
  // SHA-1 digests when !sha3, SHA3-256 otherwise. Keys of another length than
  // 16 or 32 bytes are a programming fault (std::logic_error "valid relay AES
  // key length: ..."): handshakes cut them from fixed-size output.
  RelayCrypto(ByteView df, ByteView db, ByteView kf, ByteView kb, bool sha3);

  // The 509-byte body for this hop, encrypted with this hop's forward layer
  // only. Fails "relay payload too large" beyond 498 data bytes, leaving the
  // state untouched.
  Bytes encrypt_relay(u8 command, u16 stream_id, ByteView data);
  // Whether a body already decrypted with `backward` is meant for this hop;
  // the running digest absorbs it only then.
  bool recognize_decrypted(ByteView body);

  AesCtr forward;
  AesCtr backward;
  DigestState forward_digest;
  DigestState backward_digest;
};

}  // namespace mistgrove_core::crypto
