// The consensus parser and its date parser: accepted forms, line rules and
// the first failure of a document.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "mistgrove_core/directory.h"
#include "mistgrove_core/error.h"

namespace mistgrove_core::directory {
namespace {

using error::Error;

constexpr std::string_view kValidAfter = "valid-after 2026-12-05 18:00:00\n";
// 27 base64 characters: 20 zero bytes.
constexpr std::string_view kRelayLine =
    "r relay1 AAAAAAAAAAAAAAAAAAAAAAAAAAA 2026-12-05 06:00:00 10.0.0.1 9001 0\n";
constexpr i64 kValidAfterSeconds = 1796493600;

std::string with_relay(std::string_view lines) {
  return std::string(kValidAfter) + std::string(kRelayLine) + std::string(lines);
}

std::string error_of(std::string_view document) {
  try {
    parse_consensus(document);
  } catch (const Error& e) {
    return e.what();
  }
  return "no error";
}

TEST(ParseConsensus, FirstFailureDecides) {
  struct Case {
    const char* name;
    std::string document;
    const char* message;
  };
  const std::string va(kValidAfter), r(kRelayLine);
  const Case kCases[] = {
      {"empty text", "", "consensus missing valid-after"},
      {"valid-after at the epoch", "valid-after 1970-01-01 00:00:00\n" + r,
       "consensus missing valid-after"},
      {"valid-after of two words", "valid-after 2026-12-05\n" + r, "consensus missing valid-after"},
      {"no relay", va, "consensus has no relays"},
      {"relay line of 7 words", va + "r relay1 AAAA 2026-12-05 06:00:00 10.0.0.1 9001\n",
       "consensus has no relays"},
      {"identity not base64", va + "r relay1 !AAA 2026-12-05 06:00:00 10.0.0.1 9001 0\n",
       "base64 decode failed: Invalid symbol 33, offset 0."},
      {"or port before dir port", va + "r relay1 AAAA 2026-12-05 06:00:00 10.0.0.1 65536 9x\n",
       "number too large to fit in target type"},
      {"full flavour reads word 9",
       va + "r relay1 AAAA digest 2026-12-05 06:00:00 10.0.0.1 9001 x\n",
       "invalid digit found in string"},
      {"param without value", with_relay("params a=1 b=\n"),
       "cannot parse integer from empty string"},
      {"param above i32", with_relay("params a=2147483648\n"),
       "number too large to fit in target type"},
      {"param below i32", with_relay("params a=-2147483649\n"),
       "number too small to fit in target type"},
      {"param value holding =", with_relay("params a=1=2\n"), "invalid digit found in string"},
      {"line failure before final checks", "params a=\n", "cannot parse integer from empty string"},
      {"bad valid-after date", "valid-after 2026-02-30 00:00:00\n" + r, "input is out of range"},
      {"bad fresh-until time", with_relay("fresh-until 2026-12-05 18:00\n"),
       "premature end of input"},
      {"current srv not base64", with_relay("shared-rand-current-value 9 AA*A\n"),
       "base64 decode failed: Invalid symbol 42, offset 2."},
      {"ed25519 id not base64", with_relay("id ed25519 AA.A\n"),
       "base64 decode failed: Invalid symbol 46, offset 2."},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(error_of(c.document), c.message);
  }
}

TEST(ParseConsensus, RelayLineForms) {
  struct Case {
    const char* line;
    const char* nickname;
    const char* address;
    u16 or_port, dir_port;
  };
  static const Case kCases[] = {
      {"r a AAAA 2026-12-05 06:00:00 10.0.0.1 9001 0", "a", "10.0.0.1", 9001, 0},
      {"r a AAAA digest 2026-12-05 06:00:00 10.0.0.2 443 80 extra", "a", "10.0.0.2", 443, 80},
      {"r a AAAA 2026-12-05 06:00:00 host.example +0080 065535", "a", "host.example", 80, 65535},
      {"  r\tNick  AAAA 2026-12-05 06:00:00 10.0.0.3 1 2  ", "Nick", "10.0.0.3", 1, 2},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.line);
    const Consensus consensus = parse_consensus(std::string(kValidAfter) + c.line);
    ASSERT_EQ(consensus.relays.size(), 1u);
    const Relay& relay = consensus.relays[0];
    EXPECT_EQ(relay.nickname, c.nickname);
    EXPECT_EQ(relay.address, c.address);
    EXPECT_EQ(relay.or_port, c.or_port);
    EXPECT_EQ(relay.dir_port, c.dir_port);
    EXPECT_EQ(relay.rsa_identity, Bytes(3, 0));
    EXPECT_TRUE(relay.flags.empty() && relay.protocols.empty() && relay.ed25519_id.empty() &&
                relay.microdesc_digest.empty() && relay.ntor_onion_key.empty());
  }
}

// Lines that act on the current relay; each case's lines follow kRelayLine
// unless `before_relay` is set.
struct RelayLinesCase {
  const char* name;
  const char* lines;
  std::set<std::string> flags;
  const char* digest;
  const char* protocols;
  Bytes ed25519_id;
  bool before_relay = false;
};

TEST(ParseConsensus, LinesOfTheCurrentRelay) {
  const RelayLinesCase kCases[] = {
      {"flags of two s lines",
       "s Fast Running\ns Running Valid\n",
       {"Fast", "Running", "Valid"},
       "",
       "",
       {}},
      {"ignored r line keeps the relay current",
       "r b AAAA 2026-12-05 06:00:00 10.0.0.9 9001\ns Guard\nm dig\npr X=1\n",
       {"Guard"},
       "dig",
       "X=1",
       {}},
      {"lines before the first relay",
       "s Fast\nm dig\npr X=1\nid ed25519 AAAA\n",
       {},
       "",
       "",
       {},
       true},
      {"bare digest", "m abc\n", {}, "abc", "", {}},
      {"sha256 word", "m 13,14 sha256=XYZ\n", {}, "XYZ", "", {}},
      {"text before sha256", "m 13 x=sha256=AB\n", {}, "AB", "", {}},
      {"after the first sha256", "m sha256=a=sha256=b\n", {}, "a=sha256=b", "", {}},
      {"later sha256 wins", "m 1 sha256=one sha256=two\n", {}, "two", "", {}},
      {"protocols after CR LF", "pr Link=4\r\n", {}, "", "Link=4", {}},
      {"one further CR", "pr Link=4\r\r\n", {}, "", "Link=4", {}},
      {"only one further CR", "pr Link=4\r\r\r\n", {}, "", "Link=4\r", {}},
      {"final line loses one CR", "pr Link=4\r", {}, "", "Link=4", {}},
      {"pr keeps inner spacing", "pr  A=1  B=2 ", {}, "", " A=1  B=2 ", {}},
      {"bare pr", "pr X=1\npr\n", {}, "", "", {}},
      {"pr after non-ASCII space", "pr\u00a0A=1\n", {}, "", "A=1", {}},
      {"ed25519 id", "id ed25519 AQID\n", {}, "", "", {1, 2, 3}},
      {"second id replaces", "id ed25519 AQID\nid ed25519 BA\n", {}, "", "", {4}},
      {"id none keeps", "id ed25519 AQID\nid ed25519 none\n", {}, "", "", {1, 2, 3}},
      {"id of another kind", "id rsa1024 AQID\n", {}, "", "", {}},
      {"unicode whitespace splits words",
       "s Fast\u2003Guard\u00a0Valid\n",
       {"Fast", "Guard", "Valid"},
       "",
       "",
       {}},
      {"whitespace-only lines", "  \t \n\r\n\ns Fast\n", {"Fast"}, "", "", {}},
      {"keyword compared whole", "ss Fast\nS Fast\nmm x\n", {}, "", "", {}},
  };
  for (const RelayLinesCase& c : kCases) {
    SCOPED_TRACE(c.name);
    const std::string document = c.before_relay
                                     ? std::string(kValidAfter) + c.lines + std::string(kRelayLine)
                                     : with_relay(c.lines);
    const Consensus consensus = parse_consensus(document);
    ASSERT_FALSE(consensus.relays.empty());
    const Relay& relay = consensus.relays[0];
    EXPECT_EQ(relay.flags, c.flags);
    EXPECT_EQ(relay.microdesc_digest, c.digest);
    EXPECT_EQ(relay.protocols, c.protocols);
    EXPECT_EQ(relay.ed25519_id, c.ed25519_id);
  }
}

TEST(ParseConsensus, Params) {
  struct Case {
    const char* lines;
    std::map<std::string, i32> params;
  };
  const Case kCases[] = {
      {"params a=1 b=-2 c=+3", {{"a", 1}, {"b", -2}, {"c", 3}}},
      {"params a=1 a=2\nparams b=3 a=4", {{"a", 4}, {"b", 3}}},
      {"params novalue =7", {{"", 7}}},
      {"params", {}},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.lines);
    EXPECT_EQ(parse_consensus(with_relay(c.lines)).params, c.params);
  }
}

TEST(ParseConsensus, DocumentValues) {
  const std::string document =
      "valid-after 2026-12-05 17:00:00\n"
      "fresh-until 2026-12-05 19:00:00\n"
      "shared-rand-previous-value 9 AQ==\n"
      "shared-rand-current-value 9 AQI=\n"
      "shared-rand-current-value 9 AwQF extra\n"
      "shared-rand-previous-value 9\n" +
      with_relay("r relay2 AAAA 2026-12-05 06:00:00 10.0.0.2 9002 9030\n");
  const Consensus consensus = parse_consensus(document);
  EXPECT_EQ(consensus.valid_after, kValidAfterSeconds);  // the later line replaces
  EXPECT_EQ(consensus.fresh_until, kValidAfterSeconds + 3600);
  EXPECT_EQ(consensus.srv_current, (Bytes{3, 4, 5}));
  EXPECT_EQ(consensus.srv_previous, (Bytes{1}));
  ASSERT_EQ(consensus.relays.size(), 2u);
  EXPECT_EQ(consensus.relays[1].nickname, "relay2");
  EXPECT_EQ(consensus.relays[1].dir_port, 9030);
  EXPECT_EQ(parse_consensus(with_relay("")).fresh_until, 0);
}

TEST(ParseConsensus, GeneratedMicrodescConsensus) {
  // Made by tools/gen_consensus.py --relays 40 --seed 7; expected values read
  // off the file with Python.
  std::ifstream in(MISTGROVE_TEST_DATA "/consensus_microdesc_40.txt", std::ios::binary);
  ASSERT_TRUE(in);
  std::stringstream text;
  text << in.rdbuf();
  const Consensus consensus = parse_consensus(text.str());
  ASSERT_EQ(consensus.relays.size(), 40u);
  EXPECT_EQ(consensus.valid_after, kValidAfterSeconds);
  EXPECT_EQ(consensus.params.size(), 37u);
  EXPECT_EQ(consensus.params.at("hsdir_spread_store"), 4);
  EXPECT_EQ(consensus.srv_current.size(), 32u);
  EXPECT_EQ(consensus.srv_current[0], 0x2b);
  EXPECT_EQ(consensus.srv_previous[31], 0xd2);
  std::size_t hsdirs = 0, dir_ports = 0;
  for (const Relay& relay : consensus.relays) {
    hsdirs += relay.flags.count("HSDir");
    dir_ports += relay.dir_port != 0;
    EXPECT_EQ(relay.rsa_identity.size(), 20u);
    EXPECT_EQ(relay.microdesc_digest.size(), 43u);
  }
  EXPECT_EQ(hsdirs, 22u);
  EXPECT_EQ(dir_ports, 12u);
  const Relay& first = consensus.relays.front();
  EXPECT_EQ(first.nickname, "VsWmflzdE1F8Re");
  EXPECT_EQ(first.address, "239.126.108.11");
  EXPECT_EQ(first.or_port, 64070);
  EXPECT_EQ(first.rsa_identity[0], 0x45);
  EXPECT_EQ(first.flags,
            (std::set<std::string>{"Exit", "Fast", "Running", "Stable", "V2Dir", "Valid"}));
  EXPECT_EQ(first.microdesc_digest, "5H3iyLslBt2DdlfYfuvN8y5aDUljYSnDUiwdYDsz4C0");
  EXPECT_EQ(consensus.relays.back().protocols,
            "Cons=1-2 Desc=1-2 DirCache=2 FlowCtrl=1-2 HSDir=2 HSIntro=4-5 HSRend=1-2 "
            "Link=1-5 LinkAuth=1,3 Microdesc=1-2 Padding=2 Relay=1-4");
}

TEST(ParseTimeUtc, CalendarAndReasons) {
  struct Case {
    const char* date;
    const char* time;
    i64 seconds;
    const char* message;  // empty when it parses
  };
  static const Case kCases[] = {
      {"2026-12-05", "18:00:00", kValidAfterSeconds, ""},
      {"1970-01-01", "00:00:00", 0, ""},
      {"1969-12-31", "23:59:59", -1, ""},
      {"1900-03-01", "00:00:00", -2203891200, ""},
      {"0000-03-01", "00:00:00", -62162035200, ""},
      {"9999-12-31", "23:59:59", 253402300799, ""},
      {"2016-12-31", "23:59:60", 1483228799, ""},
      {"2023-02-29", "00:00:00", 0, "input is out of range"},
      {"2026-02-30", "00:00:00", 0, "input is out of range"},
      {"1900-02-29", "00:00:00", 0, "input is out of range"},
      {"2026-13-01", "00:00:00", 0, "input is out of range"},
      {"2026-01-01", "24:00:00", 0, "input is out of range"},
      {"2026-01-01", "00:60:00", 0, "input is out of range"},
      {"2026-01-01", "00:00:61", 0, "input is out of range"},
      {"2026/01/01", "00:00:00", 0, "input contains invalid characters"},
      {"2026-01-0a", "00:00:00", 0, "input contains invalid characters"},
      {"2026-01-01T00:00:00", "", 0, "input contains invalid characters"},
      {"2026-01-01", "18:00", 0, "premature end of input"},
      {"2026-01-01", "18:00:0", 0, "premature end of input"},
      {"2026-01-01", "18:00:00Z", 0, "trailing input"},
      {"2026-02-30", "18:00:00Z", 0, "trailing input"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(std::string(c.date) + " " + c.time);
    try {
      EXPECT_EQ(parse_time_utc(c.date, c.time), c.seconds);
      EXPECT_STREQ("", c.message);
    } catch (const Error& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
  }
}

}  // namespace
}  // namespace mistgrove_core::directory
