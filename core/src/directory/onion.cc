// Onion addresses and the keys of one time period: the service identity from
// its v3 address, the period number from the consensus, the blinded key and the
// subcredential (rend-spec-v3 sections 2.1 and 6, appendix A.2).
#include <sodium.h>

#include <algorithm>
#include <string_view>

#include "mistgrove_core/crypto.h"
#include "mistgrove_core/directory.h"
#include "mistgrove_core/error.h"

namespace mistgrove_core::directory {
namespace {

using error::err;

constexpr u8 kOnionVersion = 3;
constexpr i32 kDefaultPeriodMinutes = 1440;
constexpr i64 kDefaultRotationOffsetMinutes = 720;

// The Ed25519 base point as rend-spec-v3 writes it into the blinding hash.
constexpr std::string_view kBasepointText =
    "(15112221349535400772501151409588531511454012693041857206046113283949847762202, "
    "46316835694926478169428394003475163141307993866256225615783033603165251855960)";

void append(Bytes& out, std::string_view text) { out.insert(out.end(), text.begin(), text.end()); }
void append(Bytes& out, ByteView data) { out.insert(out.end(), data.begin(), data.end()); }
void append_u64_be(Bytes& out, u64 value) {
  for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<u8>(value >> shift));
}

// libsodium's check refuses non-canonical encodings, small-order points and
// points outside the prime-order subgroup: none of them can be an honest
// service key, and multiplying such a point would leak or lose the blinding.
bool is_valid_point(ByteView key) {
  static const int sodium_ready = sodium_init();
  (void)sodium_ready;
  return key.size() == crypto_core_ed25519_BYTES && crypto_core_ed25519_is_valid_point(key.data()) == 1;
}

// 12 voting intervals, so that periods start at 12:00 UTC with hourly votes.
i64 rotation_offset_minutes(const Consensus& consensus) {
  if (consensus.fresh_until <= consensus.valid_after) return kDefaultRotationOffsetMinutes;
  const i64 interval = (consensus.fresh_until - consensus.valid_after) / 60;
  return interval > 0 ? 12 * interval : kDefaultRotationOffsetMinutes;
}

// A period length of zero or less would divide by zero or wrap around, so such
// a parameter counts as absent.
i32 period_length_minutes(const Consensus& consensus) {
  const auto it = consensus.params.find("hsdir-interval");
  if (it == consensus.params.end() || it->second <= 0) return kDefaultPeriodMinutes;
  return it->second;
}

}  // namespace

Bytes parse_onion_address(std::string_view host) {
  const Bytes raw = util::base32_decode_onion(host);
  const ByteView key = ByteView(raw).first(32);
  if (raw[34] != kOnionVersion) throw err("only v3 onion addresses are supported");

  Bytes checked;
  append(checked, ".onion checksum");
  append(checked, key);
  checked.push_back(kOnionVersion);
  const Bytes digest = crypto::sha3_256(checked);
  if (digest[0] != raw[32] || digest[1] != raw[33]) throw err("bad onion checksum");

  if (!is_valid_point(key)) throw err("onion ed25519 key is invalid");
  return Bytes(key.begin(), key.end());
}

HsPeriodKeys derive_hs_period_keys(const Consensus& consensus, ByteView identity_key) {
  HsPeriodKeys keys;
  keys.period_length = period_length_minutes(consensus);
  const i64 offset = rotation_offset_minutes(consensus);
  const u64 minutes = static_cast<u64>(std::max<i64>(consensus.valid_after / 60, 0));
  if (minutes >= static_cast<u64>(offset)) {
    keys.period_num = (minutes - static_cast<u64>(offset)) / static_cast<u64>(keys.period_length);
  }
  keys.blinded_key = blind_onion_key(identity_key, keys.period_num, keys.period_length);
  keys.subcredential = onion_subcredential(identity_key, keys.blinded_key);
  return keys;
}

Bytes blind_onion_key(ByteView identity_key, u64 period_num, i64 period_length) {
  if (identity_key.size() != 32) throw err("bad onion pubkey");

  Bytes input;
  append(input, std::string_view("Derive temporary signing key\0", 29));
  append(input, identity_key);
  append(input, kBasepointText);
  append(input, "key-blind");
  append_u64_be(input, period_num);
  append_u64_be(input, static_cast<u64>(period_length));
  const Bytes h = crypto::sha3_256(input);

  if (!is_valid_point(identity_key)) throw err("ed25519 key blinding failed");
  // The clamped factor, zero-extended to the 64 bytes the reduction takes.
  u8 wide[crypto_core_ed25519_NONREDUCEDSCALARBYTES] = {};
  std::copy(h.begin(), h.end(), wide);
  wide[0] &= 248;
  wide[31] &= 63;
  wide[31] |= 64;
  u8 scalar[crypto_core_ed25519_SCALARBYTES];
  crypto_core_ed25519_scalar_reduce(scalar, wide);

  Bytes blinded(crypto_core_ed25519_BYTES);
  // Refuses only a product that is the identity, i.e. a factor of 0 mod l.
  if (crypto_scalarmult_ed25519_noclamp(blinded.data(), scalar, identity_key.data()) != 0) {
    throw err("ed25519 key blinding failed");
  }
  return blinded;
}

Bytes onion_subcredential(ByteView identity_key, ByteView blinded_key) {
  Bytes input;
  append(input, "credential");
  append(input, identity_key);
  const Bytes credential = crypto::sha3_256(input);

  input.clear();
  append(input, "subcredential");
  append(input, credential);
  append(input, blinded_key);
  return crypto::sha3_256(input);
}

}  // namespace mistgrove_core::directory
