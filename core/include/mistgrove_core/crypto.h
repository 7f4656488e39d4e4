// All cryptography of the core: hashes, KDFs, X25519, AES counter mode and
// the per-hop relay-cell cryptography (509-byte bodies, running digests).
#pragma once

#include <array>
#include <memory>
#include <optional>

#include "mistgrove_core/util.h"

namespace mistgrove_core::crypto {

// Length of a RELAY/RELAY_EARLY cell body.
inline constexpr std::size_t kRelayBodyLen = 509;
// Largest data field of one relay cell.
inline constexpr std::size_t kRelayDataMax = 498;

Bytes sha1(ByteView data);
Bytes sha256(ByteView data);
Bytes sha3_256(ByteView data);
Bytes shake256(ByteView data, std::size_t out_len);
Bytes hmac_sha256(ByteView key, ByteView message);
// HKDF-Expand (RFC 5869) with info "ntor-curve25519-sha256-1:key_expand", 92 bytes.
Bytes hkdf_sha256_expand(ByteView key_seed);
Bytes kdf_tor(ByteView seed, std::size_t out_len);
// The MAC of onion services: SHA3-256(INT_8(len(key)) | key | message).
Bytes tor_mac(ByteView key, ByteView message);
Bytes x25519_shared(ByteView secret, ByteView peer_public);
Bytes x25519_public_from_private(ByteView secret);
Bytes aes_ctr_crypt(ByteView key, ByteView data, std::optional<ByteView> iv = std::nullopt);

// Overwrites the bytes with zeros in a way the compiler keeps.
void wipe(std::span<u8> data);
// Constant-time equality of two byte strings (false when lengths differ).
bool ct_equal(ByteView a, ByteView b);
// Key material from the operating system's random source.
Bytes random_bytes(std::size_t n);

// One AES-128 or AES-256 keystream in counter mode with a 128-bit big-endian
// counter; how data is cut into calls does not change the keystream.
class AesCtr {
 public:
  AesCtr(ByteView key, ByteView iv);
  AesCtr(AesCtr&&) noexcept;
  AesCtr& operator=(AesCtr&&) noexcept;
  ~AesCtr();

  Bytes apply(ByteView data);
  // Same keystream, XORed in place.
  void apply_in_place(std::span<u8> data);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// A running SHA-1 or SHA3-256 over a relay hop's bodies.
class DigestState {
 public:
  enum class Kind { Sha1, Sha3 };
  DigestState(Kind kind, ByteView seed);
  DigestState(const DigestState&);
  DigestState& operator=(const DigestState&);
  DigestState(DigestState&&) noexcept;
  DigestState& operator=(DigestState&&) noexcept;
  ~DigestState();

  void update(ByteView body);
  // Digest of everything absorbed so far; the computation continues unchanged.
  Bytes current() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// One hop's relay cryptography: forward/backward keystreams and digests.
class RelayCrypto {
 public:
  RelayCrypto(ByteView df, ByteView db, ByteView kf, ByteView kb, bool sha3);

  // The 509-byte body for this hop, encrypted with this hop's forward layer only.
  Bytes encrypt_relay(u8 command, u16 stream_id, ByteView data);
  // Whether a body already decrypted with `backward` is meant for this hop.
  bool recognize_decrypted(ByteView body);

  AesCtr forward;
  AesCtr backward;
  DigestState forward_digest;
  DigestState backward_digest;
};

}  // namespace mistgrove_core::crypto
