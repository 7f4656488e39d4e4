// The consensus parser and its date parser against the consensus, relay and
// time records of tests/core/data/directory_cases.txt.
#include <fmt/format.h>
#include <fmt/ranges.h>
#include <gtest/gtest.h>

#include "base/test_support.h"
#include "mistgrove_core/directory.h"

namespace mistgrove_core::directory {
namespace {

using mistgrove_test::outcome;

const std::string kRelayed =
    "valid-after 2026-12-05 18:00:00\n"
    "r relay1 AAAAAAAAAAAAAAAAAAAAAAAAAAA 2026-12-05 06:00:00 10.0.0.1 9001 0\n";

// "nick address:or/dir [flags] m=digest pr=protocols id=ed25519 (base64)"
std::string describe(const Relay& r) {
  return fmt::format("{} {}:{}/{} [{}] m={} pr={} id={}", r.nickname, r.address, r.or_port,
                     r.dir_port, fmt::join(r.flags.names(), ","), r.microdesc_digest, r.protocols,
                     util::base64_encode_unpadded(r.ed25519_id));
}

TEST(ParseConsensus, LastRelayOrFirstFailure) {
  for (const char* kind : {"consensus", "relay"}) {
    for (const auto& r : mistgrove_test::load_records("directory_cases.txt", kind)) {
      const std::string doc = (r.kind() == "relay" ? kRelayed : "") + r.text(1);
      EXPECT_EQ(outcome([&] { return describe(parse_consensus(doc).relays.back()); }), r.last())
          << doc;
    }
  }
  for (const auto& r : mistgrove_test::load_records("directory_cases.txt", "time"))
    EXPECT_EQ(outcome([&] { return std::to_string(parse_time_utc(r.text(1), r.text(2))); }),
              r.last())
        << r.text(1) << " " << r.text(2);
}

TEST(ParseConsensus, DocumentValues) {
  const Consensus consensus = parse_consensus(
      "valid-after 2026-12-05 17:00:00\nfresh-until 2026-12-05 19:00:00\n"
      "shared-rand-previous-value 9 AQ==\nshared-rand-current-value 9 AQI=\n"
      "shared-rand-current-value 9 AwQF extra\nshared-rand-previous-value 9\n" +
      kRelayed + "params a=1 b=-2 a=+3 =7\nparams c=4 novalue\n");
  // The later valid-after replaces the first.
  EXPECT_EQ(fmt::format("{} {} {} {} {}", consensus.valid_after, consensus.fresh_until,
                        consensus.srv_current, consensus.srv_previous, consensus.params),
            R"(1796493600 1796497200 [3, 4, 5] [1] {"": 7, "a": 3, "b": -2, "c": 4})");
}

}  // namespace
}  // namespace mistgrove_core::directory
