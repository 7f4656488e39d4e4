// Onion addresses, time periods, key blinding and subcredentials against
// answers computed outside the core (tools/vectors/onion_vectors.py) and the
// onion and period records of tests/core/data/directory_cases.txt.
#include "directory/onion.h"

#include <fmt/ranges.h>
#include <gtest/gtest.h>

#include "base/test_support.h"
#include "mistgrove_core/crypto.h"
#include "mistgrove_core/directory.h"

namespace mistgrove_core::directory {
namespace {

using mistgrove_test::error_of;
using mistgrove_test::load_records;

const Bytes& identity() {
  static const Bytes key = load_records("onion_vectors.txt", "identity")[0].bytes(1);
  return key;
}

Consensus consensus_at(i64 valid_after, i64 fresh_until, const std::string& interval) {
  Consensus c;
  c.valid_after = valid_after;
  c.fresh_until = fresh_until;
  if (interval != "-") c.params["hsdir-interval"] = std::stoi(interval);
  return c;
}

TEST(OnionAddress, KeyOrRefusal) {
  for (const auto& r : load_records("directory_cases.txt", "onion")) {
    const auto key = [&] {
      return fmt::format("{:02x}", fmt::join(parse_onion_address(r.text(1)), ""));
    };
    EXPECT_EQ(mistgrove_test::outcome(key), r.last()) << r.text(1);
  }
  for (const auto& r : load_records("onion_vectors.txt", "invalid_key"))
    EXPECT_EQ(error_of([&] { blind_onion_key(r.bytes(2), 20792, 1440); }),
              "ed25519 key blinding failed")
        << r.text(1);
  EXPECT_EQ(error_of([] { blind_onion_key(Bytes(31, 0x11), 1, 1440); }), "bad onion pubkey");
  EXPECT_EQ(error_of([] { derive_hs_period_keys(Consensus{}, Bytes(33, 0x11)); }),
            "bad onion pubkey");
}

// The last vector's blinded key is the one under which the private network's
// directory served this service's descriptor.
TEST(PeriodKeys, MatchIndependentAnswers) {
  for (const auto& r : load_records("onion_vectors.txt", "period")) {
    SCOPED_TRACE(r.text(1));
    const auto keys = derive_hs_period_keys(
        consensus_at(std::stoll(r.text(1)), std::stoll(r.text(2)), r.text(3)), identity());
    EXPECT_EQ(keys.period_num, r.number(4));
    EXPECT_EQ(keys.period_length, static_cast<i32>(r.number(3)));
    EXPECT_EQ(keys.blinded_key, r.bytes(5));
    EXPECT_EQ(keys.subcredential, r.bytes(6));
  }
  for (const auto& r : load_records("directory_cases.txt", "period")) {
    const auto keys = derive_hs_period_keys(
        consensus_at(std::stoll(r.text(1)), std::stoll(r.text(2)), r.text(3)), identity());
    EXPECT_EQ(std::to_string(keys.period_num) + " " + std::to_string(keys.period_length), r.last())
        << r.text(1);
  }
}

}  // namespace
}  // namespace mistgrove_core::directory
