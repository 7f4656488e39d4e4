// The consensus parser and its date parser: accepted forms, line rules and
// the first failure of a document.
#include <fmt/format.h>
#include <fmt/ranges.h>
#include <gtest/gtest.h>

#include "base/test_support.h"
#include "mistgrove_core/directory.h"

namespace mistgrove_core::directory {
namespace {

using mistgrove_test::error_of;

constexpr std::string_view kValidAfter = "valid-after 2026-12-05 18:00:00\n";
constexpr i64 kValidAfterSeconds = 1796493600;
// 27 base64 characters: 20 zero bytes.
const std::string kRelay =
    "r relay1 AAAAAAAAAAAAAAAAAAAAAAAAAAA 2026-12-05 06:00:00 10.0.0.1 9001 0\n";

std::string with_relay(std::string_view lines) {
  return std::string(kValidAfter) + kRelay + std::string(lines);
}

TEST(ParseConsensus, FirstFailureDecides) {
  const std::string va(kValidAfter);
  const struct {
    std::string document;
    const char* message;
  } kCases[] = {
      {"", "consensus missing valid-after"},
      {"valid-after 1970-01-01 00:00:00\n" + kRelay, "consensus missing valid-after"},
      {"valid-after 2026-12-05\n" + kRelay, "consensus missing valid-after"},
      {va + "r relay1 AAAA 2026-12-05 06:00:00 10.0.0.1 9001\n", "consensus has no relays"},
      {va + "r relay1 !AAA 2026-12-05 06:00:00 10.0.0.1 9001 0\n",
       "base64 decode failed: Invalid symbol 33, offset 0."},
      {va + "r relay1 AAAA 2026-12-05 06:00:00 10.0.0.1 65536 9x\n",
       "number too large to fit in target type"},
      // The full flavour has a digest after the identity: the ports move on.
      {va + "r relay1 AAAA digest 2026-12-05 06:00:00 10.0.0.1 9001 x\n",
       "invalid digit found in string"},
      {"params a=\n", "cannot parse integer from empty string"},  // before the final checks
      {with_relay("params a=-2147483649\n"), "number too small to fit in target type"},
      {with_relay("params a=1=2\n"), "invalid digit found in string"},
      {"valid-after 2026-02-30 00:00:00\n" + kRelay, "input is out of range"},
      {with_relay("fresh-until 2026-12-05 18:00\n"), "premature end of input"},
      {with_relay("shared-rand-current-value 9 AA*A\n"),
       "base64 decode failed: Invalid symbol 42, offset 2."},
      {with_relay("id ed25519 AA.A\n"), "base64 decode failed: Invalid symbol 46, offset 2."},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.document);
    EXPECT_EQ(error_of([&] { parse_consensus(c.document); }), c.message);
  }
}

// The fields of the relay as one line: "nick address:or/dir [flags] m=digest
// pr=protocols id=ed25519 (base64)".
std::string describe(const Relay& r) {
  return fmt::format("{} {}:{}/{} [{}] m={} pr={} id={}", r.nickname, r.address, r.or_port,
                     r.dir_port, fmt::join(r.flags.names(), ","), r.microdesc_digest, r.protocols,
                     util::base64_encode_unpadded(r.ed25519_id));
}

TEST(ParseConsensus, LinesOfTheCurrentRelay) {
  const std::string plain = "relay1 10.0.0.1:9001/0 ";
  const struct {
    std::string document;
    std::string relay;  // the last one
  } kCases[] = {
      {with_relay("s Fast Running\ns Running Valid\n"), plain + "[Fast,Running,Valid] m= pr= id="},
      // Lines after an ignored "r" line still belong to the relay before it.
      {with_relay("r b AAAA 2026-12-05 06:00:00 10.0.0.9 9001\ns Guard\nm dig\npr X=1\n"),
       plain + "[Guard] m=dig pr=X=1 id="},
      {std::string(kValidAfter) + "s Fast\nm dig\npr X=1\nid ed25519 AAAA\n" + kRelay,
       plain + "[] m= pr= id="},
      {with_relay("  r\tNick  AAAA digest 2026-12-05 06:00:00 host.example +0080 065535  "),
       "Nick host.example:80/65535 [] m= pr= id="},
      {with_relay("m 13 x=sha256=AB sha256=a=sha256=b\n"), plain + "[] m=a=sha256=b pr= id="},
      {with_relay("pr Link=4\r\r\r\n"), plain + "[] m= pr=Link=4\r id="},
      {with_relay("pr  A=1  B=2 \r"), plain + "[] m= pr= A=1  B=2  id="},
      {with_relay("pr\u00a0A=1\n"), plain + "[] m= pr=A=1 id="},
      {with_relay("id ed25519 AQID\nid ed25519 none\nid rsa1024 BA\n"),
       plain + "[] m= pr= id=AQID"},
      {with_relay("s Fast\u2003Guard\u00a0Valid\n \t \n\r\n\nss X\nS Y\n"),
       plain + "[Fast,Guard,Valid] m= pr= id="},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.document);
    EXPECT_EQ(describe(parse_consensus(c.document).relays.back()), c.relay);
  }
}

TEST(ParseConsensus, DocumentValues) {
  const Consensus consensus = parse_consensus(
      "valid-after 2026-12-05 17:00:00\nfresh-until 2026-12-05 19:00:00\n"
      "shared-rand-previous-value 9 AQ==\nshared-rand-current-value 9 AQI=\n"
      "shared-rand-current-value 9 AwQF extra\nshared-rand-previous-value 9\n" +
      with_relay("params a=1 b=-2 a=+3 =7\nparams c=4 novalue\n"));
  EXPECT_EQ(consensus.valid_after, kValidAfterSeconds);  // the later line replaces
  EXPECT_EQ(consensus.fresh_until, kValidAfterSeconds + 3600);
  EXPECT_EQ(consensus.srv_current, (Bytes{3, 4, 5}));
  EXPECT_EQ(consensus.srv_previous, (Bytes{1}));
  EXPECT_EQ(consensus.params, (std::map<std::string, i32>{{"a", 3}, {"b", -2}, {"", 7}, {"c", 4}}));
}

TEST(ParseTimeUtc, CalendarAndReasons) {
  static const struct {
    const char *date, *time;
    i64 seconds;
    const char* message;
  } kCases[] = {
      {"1969-12-31", "23:59:59", -1, ""},
      {"0000-03-01", "00:00:00", -62162035200, ""},
      {"9999-12-31", "23:59:59", 253402300799, ""},
      {"2016-12-31", "23:59:60", 1483228799, ""},  // a leap second is the minute's last
      {"2024-02-29", "00:00:00", 1709164800, ""},
      {"1900-02-29", "00:00:00", 0, "input is out of range"},
      {"2026-13-01", "00:00:00", 0, "input is out of range"},
      {"2026-01-01", "00:00:61", 0, "input is out of range"},
      {"2026-01-0a", "00:00:00", 0, "input contains invalid characters"},
      {"2026-01-01T00:00:00", "", 0, "input contains invalid characters"},
      {"2026-01-01", "18:00:0", 0, "premature end of input"},
      {"2026-02-30", "18:00:00Z", 0, "trailing input"},  // before the day-of-month check
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::string(c.date) + " " + c.time);
    i64 seconds = 0;
    EXPECT_EQ(error_of([&] { seconds = parse_time_utc(c.date, c.time); }), c.message);
    EXPECT_EQ(seconds, c.seconds);
  }
}

}  // namespace
}  // namespace mistgrove_core::directory
