// Random and mutated input for the HTTP response and chunked-body decoders
// and the onion-address parser: each call returns or throws Error, nothing
// else (the sanitizer build turns memory faults into failures).
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>

#include "mistgrove_core/directory.h"
#include "mistgrove_core/error.h"

namespace mistgrove_core::directory {
namespace {

constexpr int kRounds = 4000;

class Mutator {
 public:
  explicit Mutator(u32 seed) : rng_(seed) {}

  std::size_t below(std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_);
  }

  // Bytes mostly drawn from those the parsers react to.
  u8 interesting_byte() {
    static constexpr std::string_view kBytes =
        "\r\n\r\n0123456789abcdefABCDEF;+- :2007\xff\xe2\x82\xc2\xa0.onion";
    return below(4) == 0 ? static_cast<u8>(below(256))
                         : static_cast<u8>(kBytes[below(kBytes.size())]);
  }

  Bytes random_bytes(std::size_t max_len) {
    Bytes out(below(max_len + 1));
    for (u8& b : out) b = interesting_byte();
    return out;
  }

  // One to four edits: flip, overwrite, insert, erase, truncate or duplicate.
  Bytes mutate(Bytes data) {
    for (std::size_t edits = 1 + below(4); edits > 0; --edits) {
      const std::size_t at = data.empty() ? 0 : below(data.size());
      switch (below(6)) {
        case 0:
          if (!data.empty()) data[at] ^= static_cast<u8>(1u << below(8));
          break;
        case 1:
          if (!data.empty()) data[at] = interesting_byte();
          break;
        case 2:
          data.insert(data.begin() + static_cast<std::ptrdiff_t>(at), interesting_byte());
          break;
        case 3:
          if (!data.empty()) data.erase(data.begin() + static_cast<std::ptrdiff_t>(at));
          break;
        case 4:
          data.resize(at);
          break;
        case 5:
          data.insert(data.end(), data.begin() + static_cast<std::ptrdiff_t>(at), data.end());
          break;
      }
    }
    return data;
  }

 private:
  std::mt19937 rng_;
};

Bytes bytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

struct Target {
  const char* name;
  std::vector<Bytes> seeds;
  // Parses one input and checks what a successful parse returned.
  std::function<void(const Bytes&)> parse;
};

// Each target sees random inputs and mutations of its seeds; both outcomes,
// accepted and refused, must occur, or the inputs missed the parser.
TEST(Fuzz, ParsersReturnOrThrowError) {
  const Target targets[] = {
      {"decode_http_body",
       {bytes("HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello"),
        bytes("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n1a;x\r\n"
              "abcdefghijklmnopqrstuvwxyz\r\n0\r\n\r\n"),
        bytes("HTTP/1.0 404 Not Found\r\n\r\n")},
       [](const Bytes& input) { ASSERT_LE(decode_http_body(input).size(), input.size()); }},
      {"decode_chunked_body",
       {bytes("5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n"),
        bytes("+1A ; ext\r\nabcdefghijklmnopqrstuvwxyz\r\n"), bytes("ffffffffffffffff\r\nabc\r\n")},
       [](const Bytes& input) { ASSERT_LE(decode_chunked_body(input).size(), input.size()); }},
      {"parse_onion_address",
       {bytes("6x3iq5tnf4ydb4h6je3f3mswycmup3xyyk55yhlacofqjrxuwhgd26ad.onion"),
        bytes("6X3IQ5TNF4YDB4H6JE3F3MSWYCMUP3XYYK55YHLACOFQJRXUWHGD26AD")},
       [](const Bytes& input) {
         ASSERT_EQ(parse_onion_address(std::string(input.begin(), input.end())).size(), 32u);
       }},
  };
  u32 seed = 1;
  for (const auto& target : targets) {
    SCOPED_TRACE(target.name);
    Mutator m(seed++);
    int accepted = 0;
    for (int round = 0; round < kRounds; ++round) {
      const Bytes input = round % 4 == 0 ? m.random_bytes(96)
                                         : m.mutate(target.seeds[m.below(target.seeds.size())]);
      try {
        target.parse(input);
        ++accepted;
      } catch (const error::Error&) {
      }
    }
    EXPECT_GT(accepted, 0);
    EXPECT_LT(accepted, kRounds);
  }
}

}  // namespace
}  // namespace mistgrove_core::directory
