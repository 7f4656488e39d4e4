// Which relays may serve which role, the shuffled pool of rendezvous
// candidates, and the HSDir hash ring that places an onion service's
// descriptor on hidden-service directories.
#include <algorithm>
#include <array>
#include <set>

#include "mistgrove_core/crypto.h"
#include "mistgrove_core/directory.h"
#include "mistgrove_core/error.h"

namespace mistgrove_core::directory {
namespace {

using error::err;

bool has_flag(const Relay& relay, std::string_view flag) {
  return relay.flags.count(std::string(flag)) != 0;
}

std::array<u8, 32> sha3_index(util::ByteWriter& input) {
  const Bytes digest = crypto::sha3_256(input.take());
  std::array<u8, 32> out{};
  std::copy_n(digest.begin(), out.size(), out.begin());
  return out;
}

i32 clamped_param(const Consensus& consensus, const std::string& name, i32 fallback, i32 min,
                  i32 max) {
  auto it = consensus.params.find(name);
  return it == consensus.params.end() ? fallback : std::clamp(it->second, min, max);
}

}  // namespace

bool relay_usable_dir(const Relay& relay) {
  return relay.or_port != 0 && has_flag(relay, "Running") && has_flag(relay, "Valid");
}

// The key lengths are tested before the flag lookups: they are cheaper and,
// before microdescriptor completion, fail for most relays.
bool relay_usable_hsdir(const Relay& relay) {
  return relay.ed25519_id.size() == 32 && relay_usable_dir(relay) && has_flag(relay, "HSDir") &&
         !has_flag(relay, "NoEdConsensus");
}

bool relay_usable_rendezvous(const Relay& relay) {
  return relay.rsa_identity.size() == 20 && relay.ed25519_id.size() == 32 &&
         relay.ntor_onion_key.size() == 32 && relay_usable_dir(relay) &&
         !has_flag(relay, "MiddleOnly") && !has_flag(relay, "NoEdConsensus");
}

bool same_relay(const Relay& a, const Relay& b) {
  // Differing Ed25519 identities settle nothing: the RSA identity still may.
  if (!a.ed25519_id.empty() && a.ed25519_id == b.ed25519_id) return true;
  if (!a.rsa_identity.empty() && a.rsa_identity == b.rsa_identity) return true;
  return !a.address.empty() && a.or_port != 0 && a.address == b.address && a.or_port == b.or_port;
}

std::vector<Relay> candidate_rendezvous_relays(const Consensus& consensus) {
  std::vector<Relay> candidates;
  for (const Relay& relay : consensus.relays)
    if (relay_usable_rendezvous(relay)) candidates.push_back(relay);
  if (candidates.empty()) throw err("no usable rendezvous relays in consensus");
  std::shuffle(candidates.begin(), candidates.end(), crypto::thread_rng());
  return candidates;
}

std::vector<Relay> select_hsdirs(const Consensus& consensus, ByteView blinded_key,
                                 ByteView shared_random, u64 period_num, i32 period_length) {
  if (shared_random.size() != 32) throw err("shared random value missing from consensus");
  // INT_8 of a signed period length: sign-extended, then 8 bytes big-endian.
  const u64 length64 = static_cast<u64>(static_cast<i64>(period_length));

  // A ring entry points at its relay in the consensus; only the relays chosen
  // are copied.
  struct Indexed {
    std::array<u8, 32> index;
    const Relay* relay;
  };
  std::vector<Indexed> ring;
  for (const Relay& relay : consensus.relays) {
    if (!relay_usable_hsdir(relay)) continue;
    util::ByteWriter input(88);
    input.put_bytes(util::text_bytes("node-idx"));
    input.put_bytes(relay.ed25519_id);
    input.put_bytes(shared_random);
    input.put_u64(period_num);
    input.put_u64(length64);
    ring.push_back({sha3_index(input), &relay});
  }
  if (ring.empty()) throw err("no usable HSDir relays in consensus");
  std::stable_sort(ring.begin(), ring.end(),
                   [](const Indexed& a, const Indexed& b) { return a.index < b.index; });

  const i32 replicas = clamped_param(consensus, "hsdir_n_replicas", 2, 1, 16);
  const i32 spread = clamped_param(consensus, "hsdir_spread_fetch", 3, 1, 128);
  // One relay serves at most one replica. Every ring relay has a 32-byte
  // Ed25519 identity, so the identity itself is the de-duplication key.
  std::set<Bytes> taken;
  std::vector<Relay> chosen;
  for (i32 replica = 1; replica <= replicas; ++replica) {
    util::ByteWriter input;
    input.put_bytes(util::text_bytes("store-at-idx"));
    input.put_bytes(blinded_key);
    input.put_u64(static_cast<u64>(replica));
    input.put_u64(length64);
    input.put_u64(period_num);
    const std::array<u8, 32> service_index = sha3_index(input);
    const std::size_t start = std::lower_bound(ring.begin(), ring.end(), service_index,
                                               [](const Indexed& e, const std::array<u8, 32>& key) {
                                                 return e.index < key;
                                               }) -
                              ring.begin();
    i32 count = 0;
    for (std::size_t step = 0; step < ring.size() && count < spread; ++step) {
      const Relay& relay = *ring[(start + step) % ring.size()].relay;
      if (!taken.insert(relay.ed25519_id).second) continue;
      chosen.push_back(relay);
      ++count;
    }
  }
  return chosen;
}

}  // namespace mistgrove_core::directory
