// The two halves of an onion service's period keys, private to the directory
// module.
#pragma once

#include "mistgrove_core/directory.h"
#include "mistgrove_core/util.h"

namespace mistgrove_core::directory {

// The identity key blinded for one period: "bad onion pubkey" unless it has
// 32 bytes, "ed25519 key blinding failed" when it is no usable point.
Bytes blind_onion_key(ByteView identity_key, u64 period_num, i64 period_length);
// SHA3-256 of "subcredential", the credential of `identity_key` and the
// blinded key.
Bytes onion_subcredential(ByteView identity_key, ByteView blinded_key);

}  // namespace mistgrove_core::directory
