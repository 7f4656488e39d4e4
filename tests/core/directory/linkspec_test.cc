// Link-specifier blocks: parsing, encoding and a relay's three specifiers.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include "base/test_support.h"
#include "mistgrove_core/directory.h"

namespace mistgrove_core::directory {
namespace {

using mistgrove_test::error_of;
using mistgrove_test::expect_answers;

// "kind:hexbody" per specifier, joined by spaces.
std::string describe(const std::vector<LinkSpecifier>& specs) {
  std::string out;
  for (const LinkSpecifier& spec : specs)
    out += fmt::format("{}{}:{:02x}", out.empty() ? "" : " ", spec.kind, fmt::join(spec.data, ""));
  return out;
}

TEST(LinkSpecifiers, ParseAndRelaySpecifiers) {
  expect_answers("directory_cases.txt", "linkspec",
                 [](const auto& r) { return describe(parse_link_specifiers(r.bytes(1))); });
  Relay relay;
  relay.or_port = 443, relay.rsa_identity = {0x11, 0x11};
  expect_answers("directory_cases.txt", "relay_linkspec", [&](const auto& r) {
    relay.address = r.text(1), relay.ed25519_id = r.bytes(2);
    return describe(relay_link_specifiers(relay));
  });
}

TEST(SerializeLinkSpecifiers, CountAndBodyLimits) {
  const struct {
    std::vector<LinkSpecifier> specs;
    std::size_t size;  // of the block, 0 when it fails
    const char* message;
  } kCases[] = {
      {std::vector<LinkSpecifier>(255, LinkSpecifier{{}, 7}), 511, ""},
      {std::vector<LinkSpecifier>(256), 0, "too many link specifiers"},
      {{LinkSpecifier{Bytes(255, 1), 9}}, 258, ""},
      {{{Bytes(3, 1), 9}, {Bytes(256, 1), 9}}, 0, "link specifier too large"},
  };
  for (const auto& c : kCases) {
    Bytes block;
    EXPECT_EQ(error_of([&] { block = serialize_link_specifiers(c.specs); }), c.message);
    EXPECT_EQ(block.size(), c.size) << c.message;
    EXPECT_TRUE(c.size == 0 || parse_link_specifiers(block) == c.specs) << c.message;
  }
}

}  // namespace
}  // namespace mistgrove_core::directory
