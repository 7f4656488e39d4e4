// Link-specifier blocks: parsing, encoding and a relay's three specifiers.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <functional>

#include "base/test_support.h"
#include "mistgrove_core/directory.h"

namespace mistgrove_core::directory {
namespace {

using mistgrove_test::error_of;
using mistgrove_test::load_records;

// "kind:hexbody" per specifier, joined by spaces, or the failure message.
std::string describe(const std::function<std::vector<LinkSpecifier>()>& call) {
  return mistgrove_test::outcome([&] {
    std::string out;
    for (const LinkSpecifier& spec : call())
      out +=
          fmt::format("{}{}:{:02x}", out.empty() ? "" : " ", spec.kind, fmt::join(spec.data, ""));
    return out;
  });
}

TEST(LinkSpecifiers, ParseAndRelaySpecifiers) {
  for (const auto& r : load_records("directory_cases.txt", "linkspec"))
    EXPECT_EQ(describe([&] { return parse_link_specifiers(r.bytes(1)); }), r.last()) << r.text(1);
  Relay relay;
  relay.or_port = 443;
  relay.rsa_identity = {0x11, 0x11};
  relay.ed25519_id = {0x22, 0x22};
  for (const auto& r : load_records("directory_cases.txt", "relay_linkspec")) {
    relay.address = r.text(1);
    EXPECT_EQ(describe([&] { return relay_link_specifiers(relay); }), r.last()) << r.text(1);
  }
  relay.ed25519_id = {};  // an identity not yet completed: its specifier is left out
  relay.address = "192.0.2.7";
  EXPECT_EQ(describe([&] { return relay_link_specifiers(relay); }), "0:c000020701bb 2:1111");
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
