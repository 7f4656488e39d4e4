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

// A decoder's run with the seeds and pieces of its records in directory_cases.txt.
FuzzTarget fuzz(const char* name, std::function<void(const std::string&)> parse, int min_each = 1,
                std::vector<std::string> seeds = {}) {
  FuzzTarget target{name, std::move(seeds), {}, std::move(parse), min_each};
  for (const auto& r : mistgrove_test::load_records("directory_cases.txt")) {
    if (r.kind() == "seed" && r.text(1) == name)
      target.seeds.insert(target.seeds.end(), r.fields.begin() + 2, r.fields.end());
    if (r.kind() == "pieces" && r.text(1) == name)
      target.pieces = pieces(r.text(2), {r.fields.begin() + 3, r.fields.end()});
  }
  return target;
}

TEST(Fuzz, DecodersReturnOrThrowError) {
  const std::string consensus = mistgrove_test::read_data_file("consensus_microdesc_40.txt");
  const Bytes link_block = serialize_link_specifiers(
      {{Bytes{10, 1, 2, 3, 1, 187}, 0}, {Bytes(20, 0xAA), 2}, {Bytes(32, 0xBB), 3}});
  const FuzzTarget targets[] = {
      fuzz("base64_decode",
           [](const auto& in) {
             std::string symbols;  // a canonical decoding encodes back to its symbols
             for (char c : in)
               if (std::string_view(" \t\n\f\r=").find(c) == std::string_view::npos) symbols += c;
             EXPECT_EQ(util::base64_encode_unpadded(util::base64_decode(in)), symbols);
           }),
      fuzz("parse_hostport",
           [](const auto& in) {
             const util::HostPort hp = util::parse_hostport(in, in.size() % 2 * 80);
             EXPECT_TRUE(!hp.host.empty() && hp.port != 0) << hp.host << ":" << hp.port;
           }),
      fuzz("utf8",
           [](const auto& in) {
             const std::string lossy = util::to_string_lossy(view(in));
             EXPECT_NO_THROW(util::utf8_text(view(lossy)));  // the lossy form is always valid
             for (std::string_view word : util::split_ws(in)) EXPECT_FALSE(word.empty());
             EXPECT_EQ(util::utf8_text(view(in)), lossy);  // or throws: lossy differs
           }),
      fuzz("parse_consensus",
           [](const auto& in) {
             const Consensus c = parse_consensus(in);
             EXPECT_TRUE(!c.relays.empty() && c.valid_after != 0);
           },
           300, {consensus, consensus.substr(0, 6000)}),
      // A block that parses re-encodes to exactly the bytes it was read from.
      fuzz("parse_link_specifiers",
           [](const auto& in) {
             const Bytes again = serialize_link_specifiers(parse_link_specifiers(view(in)));
             ASSERT_LE(again.size(), in.size());
             EXPECT_EQ(std::string(again.begin(), again.end()), in.substr(0, again.size()));
           },
           300, {std::string(link_block.begin(), link_block.end())}),
      fuzz("decode_http_body",
           [](const auto& in) { EXPECT_LE(decode_http_body(view(in)).size(), in.size()); }),
      fuzz("decode_chunked_body",
           [](const auto& in) { EXPECT_LE(decode_chunked_body(view(in)).size(), in.size()); }),
      fuzz("parse_onion_address",
           [](const auto& in) { EXPECT_EQ(parse_onion_address(in).size(), 32u); }),
  };
  std::uint32_t seed = 1;
  for (const FuzzTarget& target : targets) {
    SCOPED_TRACE(target.name);
    const int accepted = mistgrove_test::fuzz_accepted(target, seed++);
    // Both outcomes must occur, or the inputs missed the decoder.
    EXPECT_GE(accepted, target.min_each);
    EXPECT_GE(3000 - accepted, target.min_each);
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
