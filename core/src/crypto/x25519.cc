// X25519 (RFC 7748) through libsodium, which clamps the scalar itself and
// works on the caller's buffers: no key object, no allocation, and no copy of
// a secret but the result it writes straight into the returned buffer.
#include <sodium.h>

#include <algorithm>
#include <stdexcept>

#include "mistgrove_core/crypto.h"
#include "mistgrove_core/error.h"
#include "sodium_ready.h"

namespace mistgrove_core::crypto {
namespace {

constexpr std::size_t kKeyLen = crypto_scalarmult_BYTES;
static_assert(crypto_scalarmult_SCALARBYTES == kKeyLen);

}  // namespace

Bytes x25519_shared(ByteView secret, ByteView peer_public) {
  if (secret.size() != kKeyLen || peer_public.size() != kKeyLen)
    throw error::Error("bad x25519 inputs");
  ensure_sodium();
  Bytes out(kKeyLen);
  if (crypto_scalarmult(out.data(), secret.data(), peer_public.data()) != 0) {
    // libsodium refuses exactly the peer points whose product is all zero
    // (small order, in any encoding), and may skip writing the result. Hand
    // back the all-zero result as computed; the handshakes refuse it with
    // their own message.
    std::fill(out.begin(), out.end(), u8{0});
  }
  return out;
}

Bytes x25519_public_from_private(ByteView secret) {
  if (secret.size() != kKeyLen) throw error::Error("bad x25519 private key");
  ensure_sodium();
  Bytes out(kKeyLen);
  // Fails only for a scalar that clamps to zero, which clamping rules out.
  if (crypto_scalarmult_base(out.data(), secret.data()) != 0)
    throw std::runtime_error("libsodium crypto_scalarmult_base failed");
  return out;
}

}  // namespace mistgrove_core::crypto
