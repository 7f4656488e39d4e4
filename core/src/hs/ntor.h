// The hs-ntor introduction handshake and the INTRODUCE1 cell it travels in.
#pragma once

#include <cstddef>

#include "mistgrove_core/crypto.h"
#include "mistgrove_core/directory.h"
#include "mistgrove_core/hs.h"
#include "mistgrove_core/util.h"

namespace mistgrove_core::hs {

// The rendezvous cookie: registered at the rendezvous point, sent to the
// service inside INTRODUCE1.
inline constexpr std::size_t kRendezvousCookieLen = 20;

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
