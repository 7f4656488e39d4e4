// The consensus parser and its date parser against the consensus, relay,
// time and document records of tests/core/data/directory_cases.txt.
#include <fmt/format.h>
#include <fmt/ranges.h>
#include <gtest/gtest.h>

#include "base/test_support.h"
#include "mistgrove_core/directory.h"

namespace mistgrove_core::directory {
namespace {

using mistgrove_test::expect_answers;

const std::string kRelayed =
    "valid-after 2026-12-05 18:00:00\n"
    "r relay1 AAAAAAAAAAAAAAAAAAAAAAAAAAA 2026-12-05 06:00:00 10.0.0.1 9001 0\n";

// "nick address:or/dir [flags] m=digest pr=protocols id=ed25519 (base64)"
std::string describe(const Relay& r) {
  return fmt::format("{} {}:{}/{} [{}] m={} pr={} id={}", r.nickname, r.address, r.or_port,
                     r.dir_port, fmt::join(r.flags.names(), ","), r.microdesc_digest, r.protocols,
                     util::base64_encode_unpadded(r.ed25519_id));
}

TEST(ParseConsensus, KnownAnswers) {
  expect_answers("directory_cases.txt", "consensus",
                 [](const auto& r) { return describe(parse_consensus(r.text(1)).relays.back()); });
  expect_answers("directory_cases.txt", "relay", [](const auto& r) {
    return describe(parse_consensus(kRelayed + r.text(1)).relays.back());
  });
  expect_answers("directory_cases.txt", "time", [](const auto& r) {
    return std::to_string(parse_time_utc(r.text(1), r.text(2)));
  });
  expect_answers("directory_cases.txt", "document", [](const auto& r) {
    const Consensus c = parse_consensus(r.text(1));
    return fmt::format("{} {} {} {} {}", c.valid_after, c.fresh_until, c.srv_current,
                       c.srv_previous, c.params);
  });
}

}  // namespace
}  // namespace mistgrove_core::directory
