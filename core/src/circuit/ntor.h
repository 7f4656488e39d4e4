// The client side of ntor, which extends a circuit by one hop, private to
// the circuit.
#pragma once

#include "mistgrove_core/circuit.h"
#include "mistgrove_core/crypto.h"
#include "mistgrove_core/directory.h"
#include "mistgrove_core/util.h"

namespace mistgrove_core::circuit {

inline constexpr u8 kRelayExtend2 = 14;
inline constexpr u8 kRelayExtended2 = 15;

// The client's ntor state between EXTEND2 and EXTENDED2. The destructor wipes
// the secret and the shared secret.
struct NtorState {
  Bytes client_secret;   // x
  Bytes client_public;   // X
  Bytes relay_ntor_key;  // B
  Bytes relay_identity;  // ID, the RSA identity digest
  Bytes secret_xb;       // EXP(B,x)

  NtorState() = default;
  NtorState(const NtorState&) = delete;
  NtorState& operator=(const NtorState&) = delete;
  ~NtorState();
};

// ID | B | X (84 bytes) for the relay; fills `state`.
Bytes build_ntor_onionskin(const directory::Relay& relay, NtorState& state);
// The new hop's keys from the relay's HDATA (Y | AUTH | ...).
crypto::RelayCrypto finish_ntor(const NtorState& state, ByteView hdata);

}  // namespace mistgrove_core::circuit
