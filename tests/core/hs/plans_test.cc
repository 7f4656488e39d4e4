// Which guard carries each descriptor request, and which rendezvous points and
// guards the rendezvous driver tries in which order.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cctype>

#include "base/test_support.h"
#include "hs/fetch.h"
#include "hs/rendezvous.h"

namespace mistgrove_core::hs {
namespace {

using directory::Relay;
using mistgrove_test::load_records;

// The relays that the letters of tests/core/data/plan_cases.txt name.
std::vector<Relay> relays(std::string_view letters) {
  std::vector<Relay> out;
  for (char c : letters) {
    if (c == '!') out.back().flags.erase("Running");
    if (!std::isalpha(static_cast<unsigned char>(c))) continue;
    const auto twin = static_cast<u8>(std::toupper(static_cast<unsigned char>(c)));
    Relay& relay = out.emplace_back();
    relay.nickname = std::string(1, c), relay.address = "10.0.0." + std::to_string(twin);
    relay.or_port = 9001, relay.rsa_identity = Bytes(20, twin);
    relay.ed25519_id = Bytes(32, static_cast<u8>(c)), relay.ntor_onion_key = Bytes(32, 1);
    relay.flags = {"Running", "Valid"};
  }
  return out;
}

std::string names(const std::vector<Relay>& list) {
  std::string out;
  for (const Relay& relay : list) out += relay.nickname;
  return out;
}

TEST(ChooseHsdirGuard, SkipsTheHsdirItselfAndMovesPastTheChoice) {
  for (const auto& c : load_records("plan_cases.txt", "hsdir_guard")) {
    const std::vector<Relay> guards = relays(c.text(1));
    std::size_t counter = c.number(2);
    std::string chosen;
    for (const Relay& hsdir : relays(c.text(3))) {
      const Relay* guard = choose_hsdir_guard(guards, hsdir, counter);
      chosen += fmt::format(" {}{}", guard ? guard->nickname : "-", counter);
    }
    EXPECT_EQ(chosen.substr(1), c.last()) << c.text(1) << " " << c.text(3);
  }
}

TEST(RendezvousGuardList, UsablePreferredFirstThenCandidatesEachOnce) {
  for (const auto& c : load_records("plan_cases.txt", "guard_list"))
    EXPECT_EQ(names(rendezvous_guard_list(relays(c.text(1)), relays(c.text(2)))), c.last())
        << c.text(1) << " " << c.text(2);
}

TEST(RendezvousAttemptPlan, EachPointThroughTheNextGuardsWithinTheLimits) {
  for (const auto& c : load_records("plan_cases.txt", "plan")) {
    const std::vector<Relay> points = relays(c.text(1)), guards = relays(c.text(2));
    std::string plan;
    std::size_t previous = points.size();
    for (auto [i, g] : rendezvous_attempt_plan(points, guards)) {
      if (i != previous) plan += (plan.empty() ? "" : " ") + points.at(i).nickname + ":";
      plan += guards.at(g).nickname, previous = i;
    }
    EXPECT_EQ(plan, c.last()) << c.text(1) << " " << c.text(2);
  }
}

}  // namespace
}  // namespace mistgrove_core::hs
