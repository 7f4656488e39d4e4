// Descriptors: the outer document's certificate and signature, its two
// encrypted layers and the introduction points of the inner one.
#pragma once

#include <string>
#include <string_view>

#include "mistgrove_core/directory.h"
#include "mistgrove_core/hs.h"
#include "mistgrove_core/util.h"

namespace mistgrove_core::hs {

// Verifies the outer document's authenticity at `now` (seconds since the
// epoch), then decrypts both layers with keys made from `keys` (blinded key
// and subcredential) and the document's revision counter, and parses the
// introduction points.
HiddenServiceDescriptor decrypt_hs_descriptor(std::string_view outer,
                                              const directory::HsPeriodKeys& keys, u64 now);

// One encrypted layer (SALT | ENCRYPTED | MAC); the MAC is checked before
// decryption, and trailing zero padding is removed from the plaintext.
Bytes decrypt_descriptor_layer(ByteView blob, ByteView blinded_key, ByteView subcredential,
                               u64 revision_counter, std::string_view layer_constant);

HiddenServiceDescriptor parse_inner_descriptor(std::string_view inner);

// The certified key (bytes 7 to 38) of the first ED25519 CERT block of `text`;
// only the version and the length are examined.
Bytes parse_ed25519_cert_subject(std::string_view text);

// The body lines between the first `begin` marker's line and the `end` marker.
std::string extract_pem_message(std::string_view text, std::string_view begin,
                                std::string_view end);

// Checks that the outer document was written by the holder of the blinded key:
// its signing-key certificate, unexpired at `now` (seconds since the epoch),
// and its final signature. Returns the certified descriptor signing key.
Bytes verify_hs_descriptor(std::string_view outer, ByteView blinded_key, u64 now);

// A binary descriptor-signing-key certificate (version 1, type 08, Ed25519
// certified key) signed by `blinded_key` and naming it in its signed-with-key
// extension, whose expiration (whole hours since the epoch) is not before
// `now` (seconds since the epoch). Returns the certified key.
Bytes verify_descriptor_signing_cert(ByteView cert, ByteView blinded_key, u64 now);

}  // namespace mistgrove_core::hs
