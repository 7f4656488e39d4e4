// Which relays may serve which role, the shuffled pool of rendezvous
// candidates, and the HSDir hash ring that places an onion service's
// descriptor on hidden-service directories.
#include "ring.h"

#include <algorithm>
#include <array>
#include <set>

#include "mistgrove_core/crypto.h"
#include "mistgrove_core/directory.h"
#include "mistgrove_core/error.h"

namespace mistgrove_core::directory {
namespace {

using error::err;

// A ring position: the 32-byte SHA3 output as four big-endian words, so that
// ordering positions compares integers rather than calling memcmp.
using RingIndex = std::array<u64, 4>;

RingIndex ring_index(const std::array<u8, 32>& digest) {
  RingIndex index{};
  for (std::size_t i = 0; i < digest.size(); ++i) index[i / 8] = index[i / 8] << 8 | digest[i];
  return index;
}

i32 clamped_param(const Consensus& consensus, const std::string& name, i32 fallback, i32 min,
                  i32 max) {
  auto it = consensus.params.find(name);
  return it == consensus.params.end() ? fallback : std::clamp(it->second, min, max);
}

}  // namespace

bool relay_usable_dir(const Relay& relay) {
  return relay.or_port != 0 && relay.flags.has(RelayFlag::Running) &&
         relay.flags.has(RelayFlag::Valid);
}

bool relay_usable_hsdir(const Relay& relay) {
  return relay.ed25519_id.size() == 32 && relay_usable_dir(relay) &&
         relay.flags.has(RelayFlag::HSDir) && !relay.flags.has(RelayFlag::NoEdConsensus);
}

bool relay_usable_rendezvous(const Relay& relay) {
  return relay.rsa_identity.size() == 20 && relay.ed25519_id.size() == 32 &&
         relay.ntor_onion_key.size() == 32 && relay_usable_dir(relay) &&
         !relay.flags.has(RelayFlag::MiddleOnly) && !relay.flags.has(RelayFlag::NoEdConsensus);
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
  util::ByteWriter period_tail(16);
  period_tail.put_u64(period_num);
  period_tail.put_u64(length64);
  const Bytes node_tail = period_tail.take();

  // A ring entry points at its relay in the consensus; only the relays chosen
  // are copied.
  struct Indexed {
    RingIndex index;
    const Relay* relay;
  };
  crypto::Sha3Hasher sha3;
  std::vector<Indexed> ring;
  ring.reserve(std::count_if(consensus.relays.begin(), consensus.relays.end(), relay_usable_hsdir));
  for (const Relay& relay : consensus.relays) {
    if (!relay_usable_hsdir(relay)) continue;
    ring.push_back({ring_index(sha3.hash({util::text_bytes("node-idx"), relay.ed25519_id,
                                          shared_random, node_tail})),
                    &relay});
  }
  if (ring.empty()) throw err("no usable HSDir relays in consensus");
  // Equal positions keep consensus order, as a stable sort would, without
  // the stable sort's buffer: the relays lie in consensus order in memory.
  std::sort(ring.begin(), ring.end(), [](const Indexed& a, const Indexed& b) {
    return a.index != b.index ? a.index < b.index : a.relay < b.relay;
  });

  const i32 replicas = clamped_param(consensus, "hsdir_n_replicas", 2, 1, 16);
  const i32 spread = clamped_param(consensus, "hsdir_spread_fetch", 3, 1, 128);
  // One relay serves at most one replica. Every ring relay has a 32-byte
  // Ed25519 identity, so the identity itself is the de-duplication key.
  std::set<std::array<u8, 32>> taken;
  std::vector<Relay> chosen;
  for (i32 replica = 1; replica <= replicas; ++replica) {
    util::ByteWriter replica_tail(24);
    replica_tail.put_u64(static_cast<u64>(replica));
    replica_tail.put_u64(length64);
    replica_tail.put_u64(period_num);
    const RingIndex service_index =
        ring_index(sha3.hash({util::text_bytes("store-at-idx"), blinded_key, replica_tail.take()}));
    const std::size_t start =
        std::lower_bound(ring.begin(), ring.end(), service_index,
                         [](const Indexed& e, const RingIndex& key) { return e.index < key; }) -
        ring.begin();
    i32 count = 0;
    for (std::size_t step = 0; step < ring.size() && count < spread; ++step) {
      const Relay& relay = *ring[(start + step) % ring.size()].relay;
      std::array<u8, 32> id;
      std::copy_n(relay.ed25519_id.begin(), id.size(), id.begin());
      if (!taken.insert(id).second) continue;
      chosen.push_back(relay);
      ++count;
    }
  }
  return chosen;
}

}  // namespace mistgrove_core::directory
