// X25519 (RFC 7748) through OpenSSL. OpenSSL clamps the scalar itself, keeps
// the private key in memory it cleanses on free, and writes the result
// straight into the returned buffer, so no other copy of a secret exists here.
#include <openssl/err.h>
#include <openssl/evp.h>

#include "mistgrove_core/crypto.h"
#include "mistgrove_core/error.h"
#include "openssl_check.h"

namespace mistgrove_core::crypto {
namespace {

constexpr std::size_t kKeyLen = 32;

UniquePtr<EVP_PKEY> private_key(ByteView secret) {
  UniquePtr<EVP_PKEY> key(
      EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, secret.data(), secret.size()));
  check_ossl(key != nullptr, "EVP_PKEY_new_raw_private_key");
  return key;
}

}  // namespace

Bytes x25519_shared(ByteView secret, ByteView peer_public) {
  if (secret.size() != kKeyLen || peer_public.size() != kKeyLen)
    throw error::Error("bad x25519 inputs");
  UniquePtr<EVP_PKEY> ours = private_key(secret);
  UniquePtr<EVP_PKEY> peer(
      EVP_PKEY_new_raw_public_key(EVP_PKEY_X25519, nullptr, peer_public.data(), kKeyLen));
  check_ossl(peer != nullptr, "EVP_PKEY_new_raw_public_key");
  UniquePtr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new(ours.get(), nullptr));
  check_ossl(ctx && EVP_PKEY_derive_init(ctx.get()) == 1 &&
                 EVP_PKEY_derive_set_peer(ctx.get(), peer.get()) == 1,
             "EVP_PKEY_derive_set_peer");
  Bytes out(kKeyLen);
  std::size_t len = out.size();
  if (EVP_PKEY_derive(ctx.get(), out.data(), &len) != 1) {
    // With keys of valid length, OpenSSL fails the derivation only when the
    // result is all zero (a peer point of small order). Hand that result back
    // as computed; the handshakes refuse it with their own message.
    ERR_clear_error();
    std::fill(out.begin(), out.end(), u8{0});
  }
  return out;
}

Bytes x25519_public_from_private(ByteView secret) {
  if (secret.size() != kKeyLen) throw error::Error("bad x25519 private key");
  UniquePtr<EVP_PKEY> key = private_key(secret);
  Bytes out(kKeyLen);
  std::size_t len = out.size();
  check_ossl(EVP_PKEY_get_raw_public_key(key.get(), out.data(), &len) == 1,
             "EVP_PKEY_get_raw_public_key");
  return out;
}

}  // namespace mistgrove_core::crypto
