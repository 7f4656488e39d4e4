// Onion addresses and the keys of one time period: the service identity from
// its v3 address, the period number from the consensus, the blinded key and the
// subcredential (rend-spec-v3 sections 2.1 and 6, appendix A.2).
#include "onion.h"

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

  util::ByteWriter checked;
  checked.put_bytes(util::text_bytes(".onion checksum"));
  checked.put_bytes(key);
  checked.put_u8(kOnionVersion);
  const Bytes digest = crypto::sha3_256(checked.take());
  if (digest[0] != raw[32] || digest[1] != raw[33]) throw err("bad onion checksum");

  // No honest service key is a non-canonical, small-order or mixed-order point.
  if (!crypto::ed25519_valid_point(key)) throw err("onion ed25519 key is invalid");
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

  util::ByteWriter input;
  input.put_bytes(util::text_bytes(std::string_view("Derive temporary signing key\0", 29)));
  input.put_bytes(identity_key);
  input.put_bytes(util::text_bytes(kBasepointText));
  input.put_bytes(
      util::text_bytes("key-blind"));  // the nonce: "key-blind" | INT_8(period) | INT_8(length)
  input.put_u64(period_num);
  input.put_u64(static_cast<u64>(period_length));
  const Bytes h = crypto::sha3_256(input.take());

  std::optional<Bytes> blinded = crypto::ed25519_blind_public_key(identity_key, h);
  if (!blinded) throw err("ed25519 key blinding failed");
  return std::move(*blinded);
}

Bytes onion_subcredential(ByteView identity_key, ByteView blinded_key) {
  util::ByteWriter credential_input;
  credential_input.put_bytes(util::text_bytes("credential"));
  credential_input.put_bytes(identity_key);
  const Bytes credential = crypto::sha3_256(credential_input.take());

  util::ByteWriter input;
  input.put_bytes(util::text_bytes("subcredential"));
  input.put_bytes(credential);
  input.put_bytes(blinded_key);
  return crypto::sha3_256(input.take());
}

}  // namespace mistgrove_core::directory
