// Random and mutated input through the text decoders: each call either
// succeeds with a consistent result or throws Error; anything else (a crash,
// a sanitizer report, another exception type) fails the test.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "mistgrove_core/error.h"
#include "mistgrove_core/util.h"

namespace mistgrove_core::util {
namespace {

constexpr int kRounds = 4000;

class Mutator {
 public:
  explicit Mutator(std::uint32_t seed) : rng_(seed) {}

  std::size_t below(std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_);
  }

  // Random text drawn mostly from `alphabet`, sometimes any byte.
  std::string random_text(std::string_view alphabet, std::size_t max_len) {
    std::string s(below(max_len + 1), '\0');
    for (char& c : s)
      c = below(8) == 0 ? static_cast<char>(below(256)) : alphabet[below(alphabet.size())];
    return s;
  }

  // A few edits of `seed`: byte flips, insertions, deletions, truncation.
  std::string mutate(std::string s, std::string_view alphabet) {
    for (std::size_t edits = 1 + below(4); edits > 0; --edits) {
      switch (below(4)) {
        case 0:
          if (!s.empty()) s[below(s.size())] ^= static_cast<char>(1 << below(8));
          break;
        case 1:
          s.insert(below(s.size() + 1), 1, alphabet[below(alphabet.size())]);
          break;
        case 2:
          if (!s.empty()) s.erase(below(s.size()), 1 + below(3));
          break;
        default:
          s.resize(below(s.size() + 1));
      }
    }
    return s;
  }

 private:
  std::mt19937 rng_;
};

ByteView bytes_of(std::string_view s) { return {reinterpret_cast<const u8*>(s.data()), s.size()}; }

constexpr std::string_view kBase64Chars =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/= \r\n\t";
constexpr std::string_view kBase32Chars = "abcdefghijklmnopqrstuvwxyz234567ABCXYZ.onion01";
constexpr std::string_view kHostChars = "[]:0123456789+-abcdef.h ";

TEST(Robustness, Base64DecodeIsCanonicalOrError) {
  Mutator m(1);
  const std::string valid = "Zm9vYmFyIGJhego=\r\nc2hvcnQ";
  for (int i = 0; i < kRounds; ++i) {
    const std::string text =
        i % 2 ? m.random_text(kBase64Chars, 40) : m.mutate(valid, kBase64Chars);
    try {
      const Bytes decoded = base64_decode(text);
      // Canonical decoding: encoding the result gives back the symbols.
      std::string symbols;
      for (char c : text)
        if (c != ' ' && c != '\t' && c != '\n' && c != '\f' && c != '\r' && c != '=') symbols += c;
      EXPECT_EQ(base64_encode_unpadded(decoded), symbols) << testing::PrintToString(text);
    } catch (const error::Error& e) {
      EXPECT_EQ(std::string_view(e.what()).substr(0, 22), "base64 decode failed: ");
    }
  }
}

TEST(Robustness, Base32DecodeOnionGives35BytesOrError) {
  Mutator m(2);
  const std::string valid = "6x3iq5tnf4ydb4h6je3f3mswycmup3xyyk55yhlacofqjrxuwhgd26ad.onion";
  for (int i = 0; i < kRounds; ++i) {
    const std::string text =
        i % 2 ? m.random_text(kBase32Chars, 70) : m.mutate(valid, kBase32Chars);
    try {
      EXPECT_EQ(base32_decode_onion(text).size(), 35u);
    } catch (const error::Error&) {
    }
  }
}

TEST(Robustness, ParseHostportGivesHostAndPortOrError) {
  Mutator m(3);
  const std::string seeds[] = {"[::1]:9050", "128.31.0.39:9131", "fe80::1", "host:+080"};
  for (int i = 0; i < kRounds; ++i) {
    const std::string text =
        i % 2 ? m.random_text(kHostChars, 24) : m.mutate(seeds[m.below(4)], kHostChars);
    try {
      const HostPort hp = parse_hostport(text, static_cast<u16>(m.below(2) * 80));
      EXPECT_FALSE(hp.host.empty());
      EXPECT_NE(hp.port, 0);
    } catch (const error::Error&) {
    }
  }
}

TEST(Robustness, Utf8HelpersAgree) {
  Mutator m(4);
  const std::string valid = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80 z\xC2\xA0";
  const std::string_view any(valid);
  for (int i = 0; i < kRounds; ++i) {
    const std::string text = i % 2 ? m.random_text(any, 24) : m.mutate(valid, any);
    const std::string lossy = to_string_lossy(bytes_of(text));
    EXPECT_NO_THROW(utf8_text(bytes_of(lossy)));  // the lossy form is always valid
    try {
      EXPECT_EQ(utf8_text(bytes_of(text)), text);
      EXPECT_EQ(lossy, text);
    } catch (const error::Error&) {
      EXPECT_NE(lossy.find("\xEF\xBF\xBD"), std::string::npos);
    }
    for (std::string_view word : split_ws(text)) EXPECT_FALSE(word.empty());
  }
}

}  // namespace
}  // namespace mistgrove_core::util
