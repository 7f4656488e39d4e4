// Hostile input for the consensus and link-specifier parsers: random bytes,
// mutations of valid documents, truncations and oversized lines must end in
// a value or an Error, never a crash, another exception or a hang.
#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <sstream>

#include "mistgrove_core/directory.h"
#include "mistgrove_core/error.h"

namespace mistgrove_core::directory {
namespace {

using error::Error;

// Pieces a mutation splices in: the parser's separators and keywords,
// non-ASCII whitespace, and bytes that are not UTF-8 at all.
const std::vector<std::string> kSplices = {
    "\n",
    "\r",
    "\r\n",
    " ",
    "\t",
    "\v",
    "\u00a0",
    "\u2003",
    "\xc2",
    "\xe2\x80",
    "\xff",
    "r ",
    "s ",
    "m ",
    "pr",
    "id ed25519 ",
    "params ",
    "=",
    "sha256=",
    "valid-after ",
    "2026-02-29 24:00:61",
    "65536",
    "-",
    "+",
    "AAAA",
    "!",
    std::string(1, '\0'),
};

std::string read_file(const char* path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class Mutator {
 public:
  explicit Mutator(u32 seed) : rng_(seed) {}

  // Uniform in 0..n, both ends included.
  // Uniform in 0..n, both ends included.
  std::size_t upto(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n)(rng_); }

  std::string random_bytes(std::size_t n) {
    std::string out(n, '\0');
    for (char& c : out) c = static_cast<char>(upto(255));
    return out;
  }

  // One to eight edits: flip, splice, delete a range, duplicate a range,
  // truncate.
  std::string mutate(std::string text) {
    for (std::size_t edits = 1 + upto(7); edits > 0; --edits) {
      const std::size_t at = upto(text.size());
      switch (upto(4)) {
        case 0:
          if (at < text.size()) text[at] = static_cast<char>(upto(255));
          break;
        case 1:
          text.insert(at, kSplices[upto(kSplices.size() - 1)]);
          break;
        case 2:
          text.erase(at, upto(64));
          break;
        case 3:
          text.insert(at, text.substr(at, upto(256)));
          break;
        default:
          text.resize(at);
      }
    }
    if (upto(8) == 0) text.resize(upto(text.size()));
    return text;
  }

 private:
  std::mt19937 rng_;
};

// The outcome must be a consensus that keeps the parser's promises, or
// Error; true when it parsed.
bool parse_or_error(const std::string& text) {
  try {
    const Consensus consensus = parse_consensus(text);
    EXPECT_FALSE(consensus.relays.empty());
    EXPECT_NE(consensus.valid_after, 0);
    return true;
  } catch (const Error&) {
    return false;
  }
}

TEST(ConsensusFuzz, MutatedAndRandomDocuments) {
  const std::string seed_document = read_file(MISTGROVE_TEST_DATA "/consensus_microdesc_40.txt");
  ASSERT_FALSE(seed_document.empty());
  // A short document keeps many mutations landing on relay and header lines.
  const std::string short_document = seed_document.substr(0, 6000);
  Mutator mutator(20261205);
  int parsed = 0;
  for (int i = 0; i < 3000; ++i) {
    SCOPED_TRACE(i);
    const std::string& base = i % 4 == 0 ? seed_document : short_document;
    parsed += parse_or_error(i % 10 == 0 ? mutator.random_bytes(mutator.upto(2000))
                                         : mutator.mutate(base));
  }
  // Both outcomes must be well represented, or the mutations miss the parser.
  EXPECT_GT(parsed, 300);
  EXPECT_LT(parsed, 2700);
}

TEST(ConsensusFuzz, OversizedLines) {
  const std::string head = "valid-after 2026-12-05 18:00:00\n";
  const std::string relay = "r n AAAA 2026-12-05 06:00:00 10.0.0.1 9001 0\n";
  const std::string cases[] = {
      head + relay + "s" + std::string(1 << 20, ' ') + "Fast\n",
      head + relay + "params" +
          [] {
            std::string words;
            for (int i = 0; i < 100000; ++i) words += " k" + std::to_string(i % 5000) + "=1";
            return words;
          }(),
      head +
          [&] {
            std::string relays;
            for (int i = 0; i < 20000; ++i) relays += relay + "s Running Valid\n";
            return relays;
          }(),
      head + relay + "m " + std::string(1 << 20, 'x') + "\n",
      head + relay + std::string(1 << 20, '\r'),
      head + relay + std::string(1 << 20, '\n'),
      std::string(1 << 20, 'r'),
  };
  for (const std::string& text : cases) parse_or_error(text);
}

TEST(LinkSpecifierFuzz, ParsedPrefixReencodesExactly) {
  Mutator mutator(4242);
  int parsed = 0;
  const Bytes valid = serialize_link_specifiers(
      {{Bytes{10, 1, 2, 3, 1, 187}, 0}, {Bytes(20, 0xAA), 2}, {Bytes(32, 0xBB), 3}});
  for (int i = 0; i < 5000; ++i) {
    SCOPED_TRACE(i);
    std::string text = i % 2 == 0 ? mutator.random_bytes(mutator.upto(600))
                                  : mutator.mutate(std::string(valid.begin(), valid.end()));
    const Bytes block(text.begin(), text.end());
    try {
      // A block that parses re-encodes to exactly the bytes it was read from.
      const Bytes again = serialize_link_specifiers(parse_link_specifiers(block));
      ASSERT_LE(again.size(), block.size());
      ASSERT_TRUE(std::equal(again.begin(), again.end(), block.begin()));
      ++parsed;
    } catch (const Error&) {
    }
  }
  EXPECT_GT(parsed, 500);
  EXPECT_LT(parsed, 4500);
}

}  // namespace
}  // namespace mistgrove_core::directory
