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

// A record's period keys: valid_after fresh_until hsdir-interval ("-" for none).
HsPeriodKeys keys_of(const mistgrove_test::Record& r) {
  static const Bytes identity = load_records("onion_vectors.txt", "identity")[0].bytes(1);
  Consensus c;
  c.valid_after = std::stoll(r.text(1)), c.fresh_until = std::stoll(r.text(2));
  if (r.text(3) != "-") c.params["hsdir-interval"] = std::stoi(r.text(3));
  return derive_hs_period_keys(c, identity);
}

TEST(OnionAddress, KeyOrRefusal) {
  mistgrove_test::expect_answers("directory_cases.txt", "onion", [](const auto& r) {
    return fmt::format("{:02x}", fmt::join(parse_onion_address(r.text(1)), ""));
  });
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
    const HsPeriodKeys k = keys_of(r);
    EXPECT_EQ(fmt::format("{} {} {:02x} {:02x}", k.period_length, k.period_num,
                          fmt::join(k.blinded_key, ""), fmt::join(k.subcredential, "")),
              fmt::format("{}", fmt::join(r.fields.begin() + 3, r.fields.end(), " ")));
  }
  for (const auto& r : load_records("directory_cases.txt", "period")) {
    const HsPeriodKeys k = keys_of(r);
    EXPECT_EQ(fmt::format("{} {}", k.period_num, k.period_length), r.last()) << r.text(1);
  }
}

}  // namespace
}  // namespace mistgrove_core::directory
