// The link layer's own framing and handshake pieces, private to the channel.
#pragma once

#include <string>

#include "mistgrove_core/tor.h"
#include "mistgrove_core/util.h"

namespace mistgrove_core::tor {

inline constexpr u8 kCellVersions = 7;
inline constexpr u8 kCellNetinfo = 8;

// Body length of a fixed-length cell; the whole cell is 4 + 1 + 509 bytes.
inline constexpr std::size_t kCellBodyLen = 509;

// VERSIONS (7) and every command from 128 up carry a u16 length; all other
// cells have a 509-byte body.
constexpr bool is_var_cell(u8 command) { return command == kCellVersions || command >= 128; }

// The relay's certificate verifier in name only: no certificate chain, name
// or date is verified (hop identity is proven by ntor). Only the leaf's RSA
// key size is bounded: outside 2048 to 8192 bits, or unreadable, it ends the
// handshake. OpenSSL still checks the handshake signature with the leaf's
// key. Installed with SSL_VERIFY_PEER, without which OpenSSL would ignore the
// refusal.
struct NoCertificateVerification {
  // OpenSSL's certificate verification callback, called in place of its
  // chain building, in TLS 1.2 and 1.3 alike. A refusal is recorded in the
  // link's TorChannel::Tls (the SSL's app data) for the failed handshake to
  // report.
  static int verify_server_cert(struct x509_store_ctx_st* ctx, void* arg);
};

// The link's judgement of the relay's leaf key: 0 when it may sign the
// handshake (keys other than RSA are not bounded), otherwise the refused RSA
// key's size in bits, or -1 when that size cannot be read. It allocates
// nothing, so that nothing can be thrown through OpenSSL's callback.
int refused_rsa_bits(const struct evp_pkey_st* key);

// The failure of a handshake whose key refused_rsa_bits refused with `bits`.
std::string refused_key_text(int bits);

// The client's NETINFO body for the given Unix time (0 before 1970).
Bytes netinfo_body(i64 now);

}  // namespace mistgrove_core::tor
