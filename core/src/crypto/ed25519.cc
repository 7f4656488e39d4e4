// Ed25519 through libsodium: signature checks, strict point validation and
// the key blinding of onion services.
#include <sodium.h>

#include <algorithm>

#include "mistgrove_core/crypto.h"
#include "sodium_ready.h"

namespace mistgrove_core::crypto {

bool ed25519_verify(ByteView signature, ByteView message, ByteView public_key) {
  ensure_sodium();
  return signature.size() == crypto_sign_BYTES && public_key.size() == crypto_sign_PUBLICKEYBYTES &&
         crypto_sign_verify_detached(signature.data(), message.data(), message.size(),
                                     public_key.data()) == 0;
}

bool ed25519_valid_point(ByteView public_key) {
  ensure_sodium();
  return public_key.size() == crypto_core_ed25519_BYTES &&
         crypto_core_ed25519_is_valid_point(public_key.data()) == 1;
}

std::optional<Bytes> ed25519_blind_public_key(ByteView public_key, ByteView param) {
  if (param.size() != 32 || public_key.size() != crypto_core_ed25519_BYTES) return std::nullopt;
  ensure_sodium();
  // The clamped factor, zero-extended to the 64 bytes the reduction takes.
  u8 wide[crypto_core_ed25519_NONREDUCEDSCALARBYTES] = {};
  std::copy(param.begin(), param.end(), wide);
  wide[0] &= 248;
  wide[31] &= 63;
  wide[31] |= 64;
  u8 scalar[crypto_core_ed25519_SCALARBYTES];
  crypto_core_ed25519_scalar_reduce(scalar, wide);
  Bytes blinded(crypto_core_ed25519_BYTES);
  // Multiplying an invalid point would leak or lose the blinding. libsodium
  // refuses the same points as ed25519_valid_point before it multiplies
  // (non-canonical, small order, outside the prime-order subgroup), so the
  // key is not checked twice; it also refuses a product that is the
  // identity, i.e. a factor of 0 mod l.
  if (crypto_scalarmult_ed25519_noclamp(blinded.data(), scalar, public_key.data()) != 0)
    return std::nullopt;
  return blinded;
}

}  // namespace mistgrove_core::crypto
