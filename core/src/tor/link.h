// The link layer's own framing and handshake pieces, private to the channel.
#pragma once

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

// The relay's certificate chain, names and dates are never judged (hop
// identity is proven by ntor); OpenSSL still checks the handshake signature
// with the presented certificate's key. Only that key's size is: an RSA key
// outside 2048 to 8192 bits ends the handshake. Installed with
// SSL_VERIFY_PEER, without which OpenSSL would ignore the refusal.
struct NoCertificateVerification {
  // OpenSSL's certificate verification callback, called in place of its
  // chain building, in TLS 1.2 and 1.3 alike: every chain passes unbuilt
  // unless its first certificate's key is refused, whose size it then
  // records in the link's TorChannel::Tls (the SSL's app data).
  static int accept_chain(struct x509_store_ctx_st* ctx, void* arg);
};

// The client's NETINFO body for the given Unix time (0 before 1970).
Bytes netinfo_body(i64 now);

}  // namespace mistgrove_core::tor
