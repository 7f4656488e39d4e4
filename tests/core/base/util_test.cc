// Text and byte helpers: endpoints, integers, base64, UTF-8, words, the byte
// reader and writer, and the texts of Error.
#include "mistgrove_core/util.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <limits>

#include "base/test_support.h"
#include "mistgrove_core/error.h"

namespace mistgrove_core::util {
namespace {

using mistgrove_test::error_of;
using mistgrove_test::outcome;

constexpr const char* kEmpty = "cannot parse integer from empty string";
constexpr const char* kDigit = "invalid digit found in string";
constexpr const char* kLarge = "number too large to fit in target type";
constexpr const char* kSmall = "number too small to fit in target type";

TEST(ParseHostport, Table) {
  static const struct {
    const char* text;
    u16 default_port;
    const char* host_port_or_error;
  } kCases[] = {
      {"h:+080", 0, "h 80"},
      {"h", 9030, "h 9030"},
      {"[::1]:9050", 0, "::1 9050"},
      {"[::1]", 443, "::1 443"},
      {"fe80::1:80", 7, "fe80::1:80 7"},  // a bare IPv6 literal keeps its last group
      {"h", 0, "missing port"},
      {"h:0", 9030, "missing port"},
      {":80", 0, "missing host"},
      {"", 80, "empty host"},
      {"h:", 0, kEmpty},
      {"h:70000x", 0, kLarge},
      {"[::1", 0, "bad IPv6 host:port"},
      {"[::1]x", 0, "bad IPv6 port separator"},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(outcome([&] {
                const HostPort hp = parse_hostport(c.text, c.default_port);
                return hp.host + " " + std::to_string(hp.port);
              }),
              c.host_port_or_error)
        << c.text;
  }
}

TEST(ParseInt, FirstFaultFromTheLeftDecides) {
  using Parse = std::string (*)(std::string_view);
  const Parse u16 = [](std::string_view t) { return std::to_string(parse_u16(t)); };
  const Parse u64 = [](std::string_view t) { return std::to_string(parse_u64(t)); };
  const Parse i32 = [](std::string_view t) { return std::to_string(parse_i32(t)); };
  const Parse hex = [](std::string_view t) { return std::to_string(parse_hex_u64(t)); };
  const struct {
    Parse parse;
    const char *text, *value_or_error;
  } kCases[] = {
      {u16, "00065535", "65535"},
      {u16, "+7", "7"},
      {u16, "", kEmpty},
      {u16, "-0", kDigit},
      {u16, "+", kDigit},
      {u16, "1 ", kDigit},
      {u16, "65536", kLarge},
      {u64, "18446744073709551615", "18446744073709551615"},
      {u64, "18446744073709551616", kLarge},
      {i32, "-2147483648", "-2147483648"},
      {i32, "2147483648", kLarge},
      {i32, "-2147483649", kSmall},
      {i32, "-99999999999x", kSmall},
      {i32, "--1", kDigit},
      {hex, "+1aF", "431"},
      {hex, "0x1", kDigit},
      {hex, "fffffffffffffffffz", kLarge},
  };
  for (const auto& c : kCases)
    EXPECT_EQ(outcome([&] { return c.parse(c.text); }), c.value_or_error) << c.text;
  EXPECT_EQ(parse_i64("-9223372036854775808"), std::numeric_limits<i64>::min());
}

TEST(Base64, Decode) {
  const struct {
    std::string text;
    const char* decoded_or_error;
  } kCases[] = {
      {"Zm9vYmE=", "fooba"},
      {" Zm\t9v\fYg =\r\n", "foob"},
      {"Zg=", "f"},
      {"Zm9v!", "base64 decode failed: Invalid symbol 33, offset 4."},
      {"Z", "base64 decode failed: Invalid symbol 61, offset 1."},
      {"Zh", "base64 decode failed: Invalid last symbol 104, offset 1."},
      {"Zg==Zm8=", "base64 decode failed: Invalid symbol 61, offset 2."},
      {"Zm9v\vZg", "base64 decode failed: Invalid symbol 11, offset 4."},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(outcome([&] { return mistgrove_test::text(base64_decode(c.text)); }),
              c.decoded_or_error)
        << c.text;
  }
}

// Python's base64 and base32 (tools/vectors/crypto_vectors.py).
TEST(Base64, KnownAnswers) {
  for (const auto& r : mistgrove_test::load_records("crypto_vectors.txt", "base64")) {
    const std::string text = r.text(2) == "-" ? "" : r.text(2);
    EXPECT_EQ(base64_encode_unpadded(r.bytes(1)), text);
    EXPECT_EQ(base64_decode(text), r.bytes(1)) << text;
  }
  for (const auto& r : mistgrove_test::load_records("crypto_vectors.txt", "base32"))
    EXPECT_EQ(base32_decode_onion(r.text(1)), r.bytes(2)) << r.text(1);
}

TEST(Utf8, StrictAndLossy) {
  const std::string R = "\xEF\xBF\xBD";  // U+FFFD
  const struct {
    std::string bytes;
    const char* error;  // of utf8_text
    std::string lossy;
  } kCases[] = {
      {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
      {"a\xFF!", "invalid utf-8 sequence of 1 bytes from index 1", "a" + R + "!"},
      {"\xC0\xAF", "invalid utf-8 sequence of 1 bytes from index 0", R + R},
      {"\xF0\x9F\x98\x41", "invalid utf-8 sequence of 3 bytes from index 0", R + "A"},
      {"\xED\xA0\x80", "invalid utf-8 sequence of 1 bytes from index 0", R + R + R},
      {"\xF4\x90\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0", R + R + R + R},
      {"ab\xF0\x9F\x98", "incomplete utf-8 byte sequence from index 2", "ab" + R},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(testing::PrintToString(c.bytes));
    EXPECT_EQ(outcome([&] { return std::string(utf8_text(text_bytes(c.bytes))); }),
              *c.error ? c.error : c.bytes);
    EXPECT_EQ(to_string_lossy(text_bytes(c.bytes)), c.lossy);
  }
}

TEST(SplitWs, UnicodeWhitespace) {
  const struct {
    std::string text;
    std::vector<std::string_view> words;
  } kCases[] = {
      {"  r nick\t\tx\v\f\r\n", {"r", "nick", "x"}},
      {"a\u00A0b\u0085c\u3000d\u200Ae\u2029f\u1680g\u205Fh\u202Fi",
       {"a", "b", "c", "d", "e", "f", "g", "h", "i"}},
      {"a\u00A9b\u200Bc\x1Fz", {"a\u00A9b\u200Bc\x1Fz"}},  // none of these is whitespace
      {"trailing \xE2\x80", {"trailing", "\xE2\x80"}},
  };
  for (const auto& c : kCases)
    EXPECT_EQ(split_ws(c.text), c.words) << testing::PrintToString(c.text);
}

TEST(ByteReaderWriter, RoundTripAndShortReads) {
  ByteWriter w;
  w.put_u8(0xAB);
  w.put_u16(0x0102);
  w.put_u32(0x03040506);
  w.put_u64(0x0708090A0B0C0D0Eull);
  const Bytes out = w.take();
  ByteReader r(out);
  EXPECT_EQ(r.read_u8("a"), 0xAB);
  EXPECT_EQ(r.read_u16("b"), 0x0102);
  EXPECT_EQ(error_of([&] { r.read_bytes(13, "truncated field"); }), "truncated field");
  EXPECT_EQ(r.read_u32("c"), 0x03040506u);  // a failed read consumes nothing
  EXPECT_EQ(r.read_u64("d"), 0x0708090A0B0C0D0Eull);
  EXPECT_TRUE(r.empty());

  EXPECT_EQ(read_u32(out, 3), 0x03040506u);
  constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
  EXPECT_EQ(error_of([&] { read_u16(out, out.size() - 1); }), "short u16");
  EXPECT_EQ(error_of([&] { read_u16(out, kMax); }), "short u16");
  EXPECT_EQ(error_of([&] { read_u32(out, kMax - 1); }), "short u32");
}

TEST(Error, Texts) {
  EXPECT_EQ(error_of([] { error::ensure(false, "circuit destroyed"); }), "circuit destroyed");
  EXPECT_EQ(error::os_error_text(ECONNREFUSED), "Connection refused (os error 111)");
  EXPECT_EQ(error::debug_form(error::Error({"a \"b\"\\\n\t\x01\0", 10})),
            R"(Error { message: "a \"b\"\\\n\t\u{1}\0" })");
}

}  // namespace
}  // namespace mistgrove_core::util
