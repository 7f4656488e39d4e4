// Relay roles, rendezvous candidates and the HSDir ring, whose known answers
// come from tools/hsdir_ring_vectors.py (Python's hashlib).
#include "directory/ring.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>

#include "base/test_support.h"
#include "mistgrove_core/directory.h"

namespace mistgrove_core::directory {
namespace {

using mistgrove_test::error_of;

Relay full_relay(u8 id) {
  Relay relay;
  relay.nickname = "relay" + std::to_string(id), relay.address = "10.0.0." + std::to_string(id);
  relay.or_port = 9001, relay.rsa_identity = Bytes(20, id);
  relay.ed25519_id = Bytes(32, id), relay.ntor_onion_key = Bytes(32, id);
  relay.flags = {"Fast", "HSDir", "Running", "Stable", "Valid"};
  return relay;
}

TEST(RelayRoles, EachRuleDecides) {
  for (const auto& r : mistgrove_test::load_records("directory_cases.txt", "roles")) {
    Relay relay = full_relay(1);
    const std::string& change = r.text(1);
    if (change[0] == '-' && change.size() > 1) relay.flags.erase(change.substr(1));
    if (change[0] == '+') relay.flags.insert(change.substr(1));
    if (change == "or_port=0") relay.or_port = 0;
    if (change == "ed25519_id=") relay.ed25519_id = {};
    if (change == "ntor_onion_key=") relay.ntor_onion_key = {};
    if (change == "rsa_identity=21") relay.rsa_identity = Bytes(21, 1);
    std::string roles = std::string(relay_usable_dir(relay) ? "dir " : "") +
                        (relay_usable_hsdir(relay) ? "hsdir " : "") +
                        (relay_usable_rendezvous(relay) ? "rendezvous " : "");
    EXPECT_EQ(roles, r.last().empty() ? "" : r.last() + " ") << change;
  }
}

TEST(SameRelay, FirstMatchingIdentityOrEndpointDecides) {
  auto relay = [](const std::string& side) {
    std::istringstream in(side);
    int ed25519, rsa;
    Relay r;
    in >> ed25519 >> rsa >> r.address >> r.or_port;
    if (ed25519) r.ed25519_id = Bytes(32, static_cast<u8>(ed25519));
    if (rsa) r.rsa_identity = Bytes(20, static_cast<u8>(rsa));
    if (r.address == "-") r.address.clear();
    return r;
  };
  for (const auto& r : mistgrove_test::load_records("directory_cases.txt", "same"))
    EXPECT_EQ(same_relay(relay(r.text(1)), relay(r.text(2))), r.last() == "same")
        << r.text(1) << " / " << r.text(2);
}

TEST(CandidateRendezvousRelays, UsableRelaysOnlyInFreshOrders) {
  Consensus consensus;
  for (u8 id = 1; id <= 8; ++id) consensus.relays.push_back(full_relay(id));
  consensus.relays[2].flags.insert("MiddleOnly");
  std::set<std::string> orders;
  for (int call = 0; call < 20; ++call) {
    std::string ids;  // the digit that ends each nickname
    for (const Relay& relay : candidate_rendezvous_relays(consensus)) ids += relay.nickname.back();
    orders.insert(ids);
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids, "1245678");
  }
  EXPECT_GT(orders.size(), 1u);
  for (Relay& relay : consensus.relays) relay.flags.insert("MiddleOnly");
  EXPECT_EQ(error_of([&] { candidate_rendezvous_relays(consensus); }),
            "no usable rendezvous relays in consensus");
}

// The consensus that tools/hsdir_ring_vectors.py describes.
Consensus ring_consensus(int relays, const std::string& replicas, const std::string& spread) {
  Consensus consensus;
  for (int i = 0; i < relays; ++i) {
    Relay relay = full_relay(static_cast<u8>(i < 4 ? i / 2 * 2 + 1 : i + 1));
    relay.nickname = std::to_string(i);
    if (i % 5 == 4) relay.flags.erase("HSDir");
    consensus.relays.push_back(relay);
  }
  if (replicas != "-") consensus.params["hsdir_n_replicas"] = std::stoi(replicas);
  if (spread != "-") consensus.params["hsdir_spread_fetch"] = std::stoi(spread);
  return consensus;
}

TEST(SelectHsdirs, MatchesIndependentRingOrFails) {
  Bytes blinded_key(32);
  for (u8 i = 0; i < 32; ++i) blinded_key[i] = i;
  for (const auto& r : mistgrove_test::load_records("consensus_hsdir_ring.txt")) {
    std::string chosen, expected;
    for (std::size_t i = 6; i < r.fields.size(); ++i) expected += r.text(i) + " ";
    const Consensus consensus = ring_consensus(std::stoi(r.text(0)), r.text(1), r.text(2));
    for (const Relay& relay : select_hsdirs(consensus, blinded_key, Bytes(32, 0x5A),
                                            std::stoull(r.text(3)), std::stoi(r.text(4))))
      chosen += relay.nickname + " ";
    EXPECT_EQ(chosen, expected) << testing::PrintToString(r.fields);
  }
  Consensus consensus = ring_consensus(3, "-", "-");
  auto failure = [&](std::size_t srv_len) {
    return error_of([&] { select_hsdirs(consensus, Bytes(32, 1), Bytes(srv_len, 2), 1, 1440); });
  };
  EXPECT_EQ(failure(31), "shared random value missing from consensus");
  for (Relay& relay : consensus.relays) relay.ed25519_id.clear();
  EXPECT_EQ(failure(0), "shared random value missing from consensus");  // checked first
  EXPECT_EQ(failure(32), "no usable HSDir relays in consensus");
}

}  // namespace
}  // namespace mistgrove_core::directory
