#include "mistgrove_core/util.h"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <string>

#include "base/test_support.h"
#include "mistgrove_core/error.h"

namespace mistgrove_core::util {
namespace {

using error::Error;
using mistgrove_test::error_of;

ByteView bytes_of(std::string_view s) { return {reinterpret_cast<const u8*>(s.data()), s.size()}; }

TEST(ParseHostport, Table) {
  struct Case {
    const char* text;
    u16 default_port;
    const char* host;
    u16 port;
    const char* error;
  };
  static const Case kCases[] = {
      {"h:80", 0, "h", 80, ""},
      {"h:+80", 0, "h", 80, ""},
      {"h:080", 0, "h", 80, ""},
      {"h", 9030, "h", 9030, ""},
      {"h:65535", 0, "h", 65535, ""},
      {"h", 0, "", 0, "missing port"},
      {"h:0", 9030, "", 0, "missing port"},
      {":80", 0, "", 0, "missing host"},
      {":x", 0, "", 0, "invalid digit found in string"},
      {"h:", 0, "", 0, "cannot parse integer from empty string"},
      {"h:-", 0, "", 0, "invalid digit found in string"},
      {"h:+", 0, "", 0, "invalid digit found in string"},
      {"h:65536", 0, "", 0, "number too large to fit in target type"},
      {"h:70000x", 0, "", 0, "number too large to fit in target type"},
      {"h:6553x", 0, "", 0, "invalid digit found in string"},
      {"h: 80", 0, "", 0, "invalid digit found in string"},
      {"[::1]:9050", 0, "::1", 9050, ""},
      {"[::1]", 443, "::1", 443, ""},
      {"[::1]", 0, "", 0, "missing port"},
      {"::1", 7, "::1", 7, ""},
      {"fe80::1:80", 7, "fe80::1:80", 7, ""},
      {"[::1", 0, "", 0, "bad IPv6 host:port"},
      {"[::1]x", 0, "", 0, "bad IPv6 port separator"},
      {"[::1]:", 0, "", 0, "cannot parse integer from empty string"},
      {"[]:80", 0, "", 0, "missing host"},
      {"", 80, "", 0, "empty host"},
      {" h :80", 0, " h ", 80, ""},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.text);
    HostPort got;
    EXPECT_EQ(error_of([&] { got = parse_hostport(c.text, c.default_port); }), c.error);
    if (*c.error == '\0') {
      EXPECT_EQ(got, (HostPort{c.host, c.port}));
    }
  }
}

struct IntCase {
  const char* text;
  const char* value;  // decimal form of the result when error is ""
  const char* error;
};

template <typename T>
void check_ints(T (*parse)(std::string_view), std::initializer_list<IntCase> cases) {
  for (const IntCase& c : cases) {
    SCOPED_TRACE(c.text);
    std::string got;
    EXPECT_EQ(error_of([&] { got = std::to_string(parse(c.text)); }), c.error);
    if (*c.error == '\0') {
      EXPECT_EQ(got, c.value);
    }
  }
}

constexpr const char* kEmpty = "cannot parse integer from empty string";
constexpr const char* kDigit = "invalid digit found in string";
constexpr const char* kLarge = "number too large to fit in target type";
constexpr const char* kSmall = "number too small to fit in target type";

TEST(ParseInt, Unsigned) {
  check_ints(parse_u16, {{"0", "0", ""},
                         {"00065535", "65535", ""},
                         {"+7", "7", ""},
                         {"", "", kEmpty},
                         {"-0", "", kDigit},
                         {"-", "", kDigit},
                         {"++1", "", kDigit},
                         {"1 ", "", kDigit},
                         {"65536", "", kLarge},
                         {"99999", "", kLarge}});
  check_ints(parse_u64, {{"18446744073709551615", "18446744073709551615", ""},
                         {"18446744073709551616", "", kLarge},
                         {"184467440737095516150", "", kLarge},
                         {"1844674407370955161x", "", kDigit},
                         {"+", "", kDigit}});
}

TEST(ParseInt, Signed) {
  check_ints(parse_i32, {{"-2147483648", "-2147483648", ""},
                         {"2147483647", "2147483647", ""},
                         {"+0", "0", ""},
                         {"-0", "0", ""},
                         {"2147483648", "", kLarge},
                         {"-2147483649", "", kSmall},
                         {"-99999999999x", "", kSmall},
                         {"-", "", kDigit},
                         {"--1", "", kDigit},
                         {"+-1", "", kDigit},
                         {"", "", kEmpty}});
  check_ints(parse_i64, {{"-9223372036854775808", "-9223372036854775808", ""},
                         {"9223372036854775807", "9223372036854775807", ""},
                         {"9223372036854775808", "", kLarge},
                         {"-9223372036854775809", "", kSmall}});
}

TEST(Base64Decode, Table) {
  struct Case {
    std::string text;
    std::string decoded;
    const char* error;
  };
  const Case kCases[] = {
      // RFC 4648 section 10, padded and unpadded.
      {"", "", ""},
      {"Zg==", "f", ""},
      {"Zm8=", "fo", ""},
      {"Zm9v", "foo", ""},
      {"Zm9vYg==", "foob", ""},
      {"Zm9vYmE=", "fooba", ""},
      {"Zm9vYmFy", "foobar", ""},
      {"Zg", "f", ""},
      {"Zm9vYmE", "fooba", ""},
      {"Zm9v\r\nYmFy\r\n", "foobar", ""},
      {" Zm\t9v\fYg =", "foob", ""},
      {"Zg=", "f", ""},
      {"Zm9v!", "", "base64 decode failed: Invalid symbol 33, offset 4."},
      {"Z", "", "base64 decode failed: Invalid symbol 61, offset 1."},
      {"Zm9vY", "", "base64 decode failed: Invalid symbol 61, offset 5."},
      {"Zh", "", "base64 decode failed: Invalid last symbol 104, offset 1."},
      {"Zm9", "", "base64 decode failed: Invalid last symbol 57, offset 2."},
      {"Zg=x", "", "base64 decode failed: Invalid symbol 61, offset 2."},
      {"Zg===", "", "base64 decode failed: Invalid symbol 61, offset 2."},
      {"Zg==Zm8=", "", "base64 decode failed: Invalid symbol 61, offset 2."},
      {"====", "", "base64 decode failed: Invalid symbol 61, offset 0."},
      {"Zm9v\vZg", "", "base64 decode failed: Invalid symbol 11, offset 4."},
      {"Zm9v\xc3\xa9", "", "base64 decode failed: Invalid symbol 195, offset 4."},
      {"Zm-v", "", "base64 decode failed: Invalid symbol 45, offset 2."},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.text);
    Bytes got;
    EXPECT_EQ(error_of([&] { got = base64_decode(c.text); }), c.error);
    if (*c.error == '\0') {
      EXPECT_EQ(got, from_string(c.decoded));
    }
  }
}

TEST(Base64, EncodeRfc4648AndKnownAnswers) {
  const std::pair<const char*, const char*> kRfc[] = {
      {"", ""},           {"f", "Zg"},          {"fo", "Zm8"},         {"foo", "Zm9v"},
      {"foob", "Zm9vYg"}, {"fooba", "Zm9vYmE"}, {"foobar", "Zm9vYmFy"}};
  for (auto [plain, encoded] : kRfc) EXPECT_EQ(base64_encode_unpadded(bytes_of(plain)), encoded);
  for (const auto& r : mistgrove_test::load_records("crypto_vectors.txt", "base64")) {
    const std::string text = r.text(2) == "-" ? "" : r.text(2);
    SCOPED_TRACE(text);
    EXPECT_EQ(base64_encode_unpadded(r.bytes(1)), text);
    EXPECT_EQ(base64_decode(text), r.bytes(1));
  }
}

TEST(Base32DecodeOnion, Table) {
  std::string fooba7;  // RFC 4648: "MZXW6YTB" is "fooba"; 7 groups make 56 characters
  std::string expected;
  for (int i = 0; i < 7; ++i) fooba7 += "MZXW6YTB", expected += "fooba";
  auto lower = fooba7;
  for (char& c : lower) c = static_cast<char>(std::tolower(c));
  auto with = [&](std::size_t at, char c) {
    auto s = lower;
    s[at] = c;
    return s;
  };
  constexpr const char* kLength = "v3 onion address must have 56 base32 characters";
  constexpr const char* kChar = "invalid base32 character in onion address";
  struct Case {
    std::string text;
    const char* error;
  };
  const Case kCases[] = {
      {fooba7, ""},
      {lower, ""},
      {lower + ".onion", ""},
      {fooba7 + ".ONION", ""},
      {lower + ".Onion", ""},
      {lower + ".onion.onion", kLength},
      {lower.substr(1), kLength},
      {lower + "a", kLength},
      {"", kLength},
      {".onion", kLength},
      {with(0, '1'), kChar},
      {with(10, '0'), kChar},
      {with(55, '8'), kChar},
      {with(30, '9'), kChar},
      {with(5, '='), kChar},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.text);
    Bytes got;
    EXPECT_EQ(error_of([&] { got = base32_decode_onion(c.text); }), c.error);
    if (*c.error == '\0') {
      EXPECT_EQ(got, from_string(expected));
    }
  }
  for (const auto& r : mistgrove_test::load_records("crypto_vectors.txt", "base32"))
    EXPECT_EQ(base32_decode_onion(r.text(1)), r.bytes(2)) << r.text(1);
}

TEST(Utf8, StrictAndLossy) {
  struct Case {
    std::string bytes;
    const char* error;  // of utf8_text
    std::string lossy;
  };
  const std::string R = "\xEF\xBF\xBD";  // U+FFFD
  const Case kCases[] = {
      {"", "", ""},
      {"abc", "", "abc"},
      {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
      {"a\xFF!", "invalid utf-8 sequence of 1 bytes from index 1", "a" + R + "!"},
      {"\x80", "invalid utf-8 sequence of 1 bytes from index 0", R},
      {"\xC0\xAF", "invalid utf-8 sequence of 1 bytes from index 0", R + R},
      {"\xE2\x82\x41", "invalid utf-8 sequence of 2 bytes from index 0", R + "A"},
      {"\xF0\x9F\x98\x41", "invalid utf-8 sequence of 3 bytes from index 0", R + "A"},
      {"\xE0\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0", R + R + R},
      {"\xED\xA0\x80", "invalid utf-8 sequence of 1 bytes from index 0", R + R + R},
      {"\xF4\x90\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0", R + R + R + R},
      {"\xF5\x80", "invalid utf-8 sequence of 1 bytes from index 0", R + R},
      {"\xE2\x82", "incomplete utf-8 byte sequence from index 0", R},
      {"ab\xF0\x9F\x98", "incomplete utf-8 byte sequence from index 2", "ab" + R},
      {"\xFF\xE2\x82", "invalid utf-8 sequence of 1 bytes from index 0", R + R},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(testing::PrintToString(c.bytes));
    std::string_view view;
    EXPECT_EQ(error_of([&] { view = utf8_text(bytes_of(c.bytes)); }), c.error);
    if (*c.error == '\0') {
      EXPECT_EQ(view, c.bytes);
    }
    EXPECT_EQ(to_string_lossy(bytes_of(c.bytes)), c.lossy);
  }
}

TEST(ReadBigEndian, Table) {
  const Bytes data = {0x01, 0x02, 0x03, 0x04, 0x05};
  EXPECT_EQ(read_u16(data, 0), 0x0102);
  EXPECT_EQ(read_u16(data, 3), 0x0405);
  EXPECT_EQ(read_u32(data, 1), 0x02030405u);
  struct Case {
    std::function<void()> read;
    const char* error;
  };
  const Case kCases[] = {
      {[&] { read_u16(data, 4); }, "short u16"},
      {[&] { read_u16(data, 5); }, "short u16"},
      {[&] { read_u16(data, std::numeric_limits<std::size_t>::max()); }, "short u16"},
      {[&] { read_u32(data, 2); }, "short u32"},
      {[&] { read_u32(data, std::numeric_limits<std::size_t>::max() - 1); }, "short u32"},
  };
  for (const Case& c : kCases) EXPECT_EQ(error_of(c.read), c.error);
}

TEST(SplitWs, Table) {
  struct Case {
    std::string text;
    std::vector<std::string_view> words;
  };
  const Case kCases[] = {
      {"", {}},
      {" \t\r\n\v\f", {}},
      {"  r nick  id\t\tx\n", {"r", "nick", "id", "x"}},
      {"a\u00A0b\u0085c", {"a", "b", "c"}},
      {"a\u3000b\u200Ac\u2029d", {"a", "b", "c", "d"}},
      {"a\u1680b\u205Fc\u202Fd", {"a", "b", "c", "d"}},
      // Not whitespace: U+00A9, U+200B (zero width space), U+001F.
      {"a\u00A9b\u200Bc\x1Fz", {"a\u00A9b\u200Bc\x1Fz"}},
      {"trailing \xE2\x80", {"trailing", "\xE2\x80"}},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(testing::PrintToString(c.text));
    EXPECT_EQ(split_ws(c.text), c.words);
  }
}

TEST(ByteReaderWriter, RoundTripAndShortReads) {
  ByteWriter w;
  w.put_u8(0xAB);
  w.put_u16(0x0102);
  w.put_u32(0x03040506);
  w.put_u64(0x0708090A0B0C0D0Eull);
  w.put_bytes(bytes_of("xyz"));
  const Bytes out = w.take();
  EXPECT_EQ(out.size(), 1u + 2 + 4 + 8 + 3);

  ByteReader r(out);
  EXPECT_EQ(r.read_u8("a"), 0xAB);
  EXPECT_EQ(r.read_u16("b"), 0x0102);
  EXPECT_EQ(r.read_u32("c"), 0x03040506u);
  EXPECT_EQ(r.read_u64("d"), 0x0708090A0B0C0D0Eull);
  EXPECT_EQ(r.remaining(), 3u);
  EXPECT_EQ(error_of([&] { r.read_u32("truncated field"); }), "truncated field");
  EXPECT_EQ(r.remaining(), 3u);  // a failed read consumes nothing
  const ByteView rest = r.read_rest();
  EXPECT_EQ(Bytes(rest.begin(), rest.end()), from_string("xyz"));
  EXPECT_TRUE(r.empty());
  EXPECT_EQ(error_of([&] { r.read_u8("end"); }), "end");
}

TEST(FromString, CopiesEveryByte) {
  const std::string text("a\0b\xFF", 4);
  EXPECT_EQ(from_string(text), (Bytes{'a', 0, 'b', 0xFF}));
}

TEST(ErrorDebugForm, EscapesLikeAStructDump) {
  EXPECT_EQ(error::debug_form(Error("aes setkey failed")),
            R"(Error { message: "aes setkey failed" })");
  EXPECT_EQ(error::debug_form(Error("a \"b\"\\\n\t\x01")),
            R"(Error { message: "a \"b\"\\\n\t\u{1}" })");
}

}  // namespace
}  // namespace mistgrove_core::util
