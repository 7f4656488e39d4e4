// The onion-service client: descriptors and their two encrypted layers, the
// hs-ntor introduction handshake, and the steps that carry them over circuits.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "mistgrove_core/crypto.h"
#include "mistgrove_core/directory.h"
#include "mistgrove_core/util.h"

namespace mistgrove_core::hs {

// ===========================================================================
// Descriptors (descriptor.cc)
// ===========================================================================

// One introduction point of a service as its descriptor lists it. A kept
// record has three 32-byte keys and an IPv4 link specifier (type 0, 6 bytes).
struct IntroductionPoint {
  // As the "introduction-point" line gives them, in wire order.
  std::vector<directory::LinkSpecifier> link_specifiers;
  Bytes onion_key;  // the point's ntor onion key
  Bytes auth_key;   // certified key of the auth-key certificate
  Bytes enc_key;    // the service's ntor encryption key for this point
};

// The usable content of one decrypted descriptor; intro_points is never empty.
struct HiddenServiceDescriptor {
  std::vector<IntroductionPoint> intro_points;  // document order
};

// Verifies the outer document's authenticity, then decrypts both layers with
// keys made from `keys` (blinded key and subcredential) and the document's
// revision counter, and parses the introduction points.
HiddenServiceDescriptor decrypt_hs_descriptor(std::string_view outer,
                                              const directory::HsPeriodKeys& keys);

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
// its signing-key certificate and its final signature. Returns the certified
// descriptor signing key.
Bytes verify_hs_descriptor(std::string_view outer, ByteView blinded_key);

// A binary descriptor-signing-key certificate (version 1, type 08, Ed25519
// certified key) signed by `blinded_key` and naming it in its signed-with-key
// extension. Returns the certified key. The expiration is not judged.
Bytes verify_descriptor_signing_cert(ByteView cert, ByteView blinded_key);

// ===========================================================================
// hs-ntor handshake and INTRODUCE1 (ntor.cc)
// ===========================================================================

// The client's hs-ntor state for one INTRODUCE1, held by the rendezvous
// attempt until the service answers. Move-only; the secrets are overwritten
// when the state is dropped.
struct HsNtorState {
  Bytes client_secret;  // x
  Bytes client_public;  // X
  Bytes enc_key;        // B
  Bytes auth_key;       // AUTH_KEY
  Bytes secret_xb;      // EXP(B, x)
  Bytes key_seed;       // empty until finish_hs_ntor succeeds

  HsNtorState() = default;
  HsNtorState(HsNtorState&&) = default;
  HsNtorState& operator=(HsNtorState&&) = default;
  HsNtorState(const HsNtorState&) = delete;
  HsNtorState& operator=(const HsNtorState&) = delete;
  ~HsNtorState();
};

// The body of one INTRODUCE1 relay cell and the handshake state it commits to.
struct Introduce1 {
  Bytes body;
  HsNtorState state;
};

// INTRODUCE1 for `point`, asking the service to meet us at `rendezvous` with
// the 20-byte `cookie`; only the subcredential of `keys` is used.
Introduce1 build_introduce1(const IntroductionPoint& point, const directory::Relay& rendezvous,
                            ByteView cookie, const directory::HsPeriodKeys& keys);

// The handshake half of build_introduce1 with a given ephemeral secret x and an
// already padded plaintext: header, X, the enciphered plaintext and the MAC.
// build_introduce1 calls it with a fresh secret; known-answer tests call it
// with a fixed one.
Introduce1 encrypt_introduce1(const IntroductionPoint& point, ByteView plaintext,
                              ByteView subcredential, ByteView client_secret);

// Checks the service's proof in a RENDEZVOUS2 body (Y | AUTH, longer data
// ignored) and returns the end-to-end hop's keys (SHA3-256, AES-256).
crypto::RelayCrypto finish_hs_ntor(HsNtorState& state, ByteView handshake);

}  // namespace mistgrove_core::hs
