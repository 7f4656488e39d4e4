// Text and byte helpers against tests/core/data/base_cases.txt, the byte
// reader and writer, and Error's debug form.
#include "mistgrove_core/util.h"

#include <fmt/ranges.h>
#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <map>

#include "base/test_support.h"
#include "mistgrove_core/error.h"

namespace mistgrove_core::util {
namespace {

using mistgrove_test::error_of;
using mistgrove_test::Record;

TEST(Util, KnownAnswers) {
  const std::map<std::string, std::function<std::string(const Record&)>> kRun = {
      {"hostport",
       [](const Record& r) {
         const HostPort hp = parse_hostport(r.text(1), static_cast<u16>(r.number(2)));
         return hp.host + " " + std::to_string(hp.port);
       }},
      {"u16", [](const Record& r) { return std::to_string(parse_u16(r.text(1))); }},
      {"u64", [](const Record& r) { return std::to_string(parse_u64(r.text(1))); }},
      {"i32", [](const Record& r) { return std::to_string(parse_i32(r.text(1))); }},
      {"i64", [](const Record& r) { return std::to_string(parse_i64(r.text(1))); }},
      {"hex", [](const Record& r) { return std::to_string(parse_hex_u64(r.text(1))); }},
      {"base64", [](const Record& r) { return mistgrove_test::text(base64_decode(r.text(1))); }},
      {"utf8", [](const Record& r) { return std::string(utf8_text(text_bytes(r.text(1)))); }},
      {"lossy", [](const Record& r) { return to_string_lossy(text_bytes(r.text(1))); }},
      {"split",
       [](const Record& r) { return fmt::format("{}", fmt::join(split_ws(r.text(1)), "/")); }},
  };
  mistgrove_test::expect_answers("base_cases.txt", "",
                                 [&](const Record& r) { return kRun.at(r.kind())(r); });
  // Python's base64 and base32 (tools/vectors/crypto_vectors.py).
  for (const Record& r : mistgrove_test::load_records("crypto_vectors.txt", "base64")) {
    const std::string text = r.text(2) == "-" ? "" : r.text(2);
    EXPECT_EQ(base64_encode_unpadded(r.bytes(1)), text);
    EXPECT_EQ(base64_decode(text), r.bytes(1)) << text;
  }
  for (const Record& r : mistgrove_test::load_records("crypto_vectors.txt", "base32"))
    EXPECT_EQ(base32_decode_onion(r.text(1)), r.bytes(2)) << r.text(1);
}

// A failed read consumes nothing; offsets near SIZE_MAX must not wrap past the bounds check.
TEST(ByteReader, ShortReads) {
  const Bytes out = mistgrove_test::hex("0102030405060708090a");
  ByteReader r(out);
  EXPECT_EQ(error_of([&] { r.read_bytes(11, "truncated field"); }), "truncated field");
  EXPECT_EQ(r.read_u64("a"), 0x0102030405060708ull);
  EXPECT_EQ(r.read_u16("b"), 0x090a);
  EXPECT_TRUE(r.empty());
  EXPECT_EQ(read_u32(out, 3), 0x04050607u);
  constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
  EXPECT_EQ(error_of([&] { read_u16(out, out.size() - 1); }), "short u16");
  EXPECT_EQ(error_of([&] { read_u16(out, kMax); }), "short u16");
  EXPECT_EQ(error_of([&] { read_u32(out, kMax - 1); }), "short u32");
}

TEST(Error, DebugFormEscapes) {
  EXPECT_EQ(error::debug_form(error::Error({"a \"b\"\\\n\t\x01\0", 10})),
            R"(Error { message: "a \"b\"\\\n\t\u{1}\0" })");
  error::Error moved("kept"), assigned("other");
  error::Error taken(std::move(moved));
  assigned = std::move(taken);
  EXPECT_STREQ(moved.what(), "kept");  // a moved-from Error stays whole
  EXPECT_EQ(taken.message() + assigned.message(), "keptkept");
}

}  // namespace
}  // namespace mistgrove_core::util
