// Random and mutated input through every text and binary decoder below the
// onion-service layer: each call returns a value that keeps the decoder's
// promises or throws Error. A crash, a sanitizer report or another exception
// type fails the test.
#include <gtest/gtest.h>

#include "base/test_support.h"
#include "directory/http.h"
#include "mistgrove_core/directory.h"
#include "mistgrove_core/error.h"

namespace mistgrove_core::directory {
namespace {

using mistgrove_test::FuzzTarget;
using mistgrove_test::pieces;

ByteView view(const std::string& s) { return util::text_bytes(s); }

TEST(Fuzz, DecodersReturnOrThrowError) {
  const std::string consensus = mistgrove_test::read_data_file("consensus_microdesc_40.txt");
  const Bytes link_block = serialize_link_specifiers(
      {{Bytes{10, 1, 2, 3, 1, 187}, 0}, {Bytes(20, 0xAA), 2}, {Bytes(32, 0xBB), 3}});
  const FuzzTarget targets[] = {
      {"base64_decode",
       {"Zm9vYmFyIGJhego=\r\nc2hvcnQ"},
       pieces("ABCXYZabcxyz0189+/= \r\n\t-"),
       [](const std::string& in) {
         std::string symbols;  // a canonical decoding encodes back to its symbols
         for (char c : in)
           if (std::string_view(" \t\n\f\r=").find(c) == std::string_view::npos) symbols += c;
         EXPECT_EQ(util::base64_encode_unpadded(util::base64_decode(in)), symbols);
       }},
      {"parse_hostport",
       {"[::1]:9050", "128.31.0.39:9131", "fe80::1", "host:+080"},
       pieces("[]:0123456789+-abcdef.h "),
       [](const std::string& in) {
         const util::HostPort hp = util::parse_hostport(in, static_cast<u16>(in.size() % 2 * 80));
         EXPECT_FALSE(hp.host.empty());
         EXPECT_NE(hp.port, 0);
       }},
      {"utf8",
       {"a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80 z\xC2\xA0"},
       {"a", " ", "\xC3", "\xA9", "\xE2\x82", "\xAC", "\xF0\x9F", "\x98\x80", "\xC2\xA0", "\xED"},
       [](const std::string& in) {
         const std::string lossy = util::to_string_lossy(view(in));
         EXPECT_NO_THROW(util::utf8_text(view(lossy)));  // the lossy form is always valid
         for (std::string_view word : util::split_ws(in)) EXPECT_FALSE(word.empty());
         try {
           EXPECT_EQ(util::utf8_text(view(in)), in);
         } catch (const error::Error&) {
           EXPECT_NE(lossy.find("\xEF\xBF\xBD"), std::string::npos);
           throw;
         }
         EXPECT_EQ(lossy, in);
       }},
      {"parse_consensus",
       {consensus, consensus.substr(0, 6000)},
       pieces("\n\r \v=-+!", {"\u00a0", "\u2003", "\xc2", "\xff", "r ", "s ", "m ", "pr",
                              "id ed25519 ", "params ", "sha256=", "valid-after ",
                              "2026-02-29 24:00:61", "65536", "AAAA", std::string(1, '\0')}),
       [](const std::string& in) {
         const Consensus c = parse_consensus(in);
         EXPECT_FALSE(c.relays.empty());
         EXPECT_NE(c.valid_after, 0);
       },
       3000,
       300},
      {"parse_link_specifiers",
       {std::string(link_block.begin(), link_block.end())},
       {std::string(1, '\0'), "\x01", "\x02", "\x03", "\x06", "\x14", "\x20", "\xff"},
       [](const std::string& in) {
         // A block that parses re-encodes to exactly the bytes it was read from.
         const Bytes again = serialize_link_specifiers(parse_link_specifiers(view(in)));
         ASSERT_LE(again.size(), in.size());
         EXPECT_EQ(std::string(again.begin(), again.end()), in.substr(0, again.size()));
       },
       3000,
       300},
      {"decode_http_body",
       {"HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello",
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n1a;x\r\n"
        "abcdefghijklmnopqrstuvwxyz\r\n0\r\n\r\n",
        "HTTP/1.0 404 Not Found\r\n\r\n"},
       pieces("\r\n0123456789abcdefABCDEF;+- :", {"\xff", "\xe2\x82", "\xc2\xa0", " 200 "}),
       [](const std::string& in) { EXPECT_LE(decode_http_body(view(in)).size(), in.size()); }},
      {"decode_chunked_body",
       {"5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n", "+1A ; ext\r\nabcdefghijklmnopqrstuvwxyz\r\n",
        "ffffffffffffffff\r\nabc\r\n"},
       pieces("\r\n0123456789abcdefABCDEF;+- ", {"\xff", "\xe2\x82", "\xc2\xa0"}),
       [](const std::string& in) { EXPECT_LE(decode_chunked_body(view(in)).size(), in.size()); }},
      {"parse_onion_address",
       {"6x3iq5tnf4ydb4h6je3f3mswycmup3xyyk55yhlacofqjrxuwhgd26ad.onion",
        "6X3IQ5TNF4YDB4H6JE3F3MSWYCMUP3XYYK55YHLACOFQJRXUWHGD26AD"},
       pieces("abcxyz234567AXZ01=", {".onion", ".ONION"}),
       [](const std::string& in) { EXPECT_EQ(parse_onion_address(in).size(), 32u); }},
  };
  std::uint32_t seed = 1;
  for (const FuzzTarget& target : targets) {
    SCOPED_TRACE(target.name);
    const int accepted = mistgrove_test::fuzz_accepted(target, seed++);
    // Both outcomes must occur, or the inputs missed the decoder.
    EXPECT_GE(accepted, target.min_each);
    EXPECT_GE(target.rounds - accepted, target.min_each);
  }
}

// Lines far longer than any real document's end in a value or Error, quickly.
TEST(Fuzz, ConsensusWithOversizedLines) {
  const std::string head = "valid-after 2026-12-05 18:00:00\nr n AAAA 2026-12-05 06:00:00 1 9 0\n";
  std::string params = "params", relays;
  for (int i = 0; i < 100000; ++i) params += " k" + std::to_string(i % 5000) + "=1";
  for (int i = 0; i < 20000; ++i) relays += "r n AAAA 2026-12-05 06:00:00 1 9 0\ns Running\n";
  for (const std::string& text : {head + "s" + std::string(1 << 20, ' ') + "Fast\n", head + params,
                                  head + relays, head + "m " + std::string(1 << 20, 'x'),
                                  head + std::string(1 << 20, '\r'), std::string(1 << 20, 'r')})
    mistgrove_test::error_of([&] { parse_consensus(text); });
}

}  // namespace
}  // namespace mistgrove_core::directory
