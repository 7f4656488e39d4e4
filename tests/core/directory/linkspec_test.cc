// Link-specifier blocks: parsing, encoding and a relay's three specifiers.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <functional>

#include "base/test_support.h"
#include "mistgrove_core/directory.h"

namespace mistgrove_core::directory {
namespace {

using mistgrove_test::error_of;
using mistgrove_test::hex;

// "kind:hexbody" per specifier, joined by spaces, or the failure message.
std::string describe(const std::function<std::vector<LinkSpecifier>()>& call) {
  return mistgrove_test::outcome([&] {
    std::string out;
    for (const LinkSpecifier& spec : call()) {
      out += fmt::format("{}{}:", out.empty() ? "" : " ", spec.kind);
      for (u8 b : spec.data) out += fmt::format("{:02x}", b);
    }
    return out;
  });
}

TEST(ParseLinkSpecifiers, Blocks) {
  static const struct {
    const char *block, *expected;
  } kCases[] = {
      {"", "empty link specifier block"},
      {"00ffff", ""},  // bytes after the counted specifiers are not judged
      {"010000", "0:"},
      {"0100", "truncated link specifier"},
      {"0102020a", "truncated link specifier body"},
      {"0100060a01020301bb0201ff", "0:0a01020301bb"},
      {"02010002020304", "1: 2:0304"},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(describe([&] { return parse_link_specifiers(hex(c.block)); }), c.expected) << c.block;
  }
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
      {{LinkSpecifier{Bytes(3, 1), 9}, LinkSpecifier{Bytes(256, 1), 9}},
       0,
       "link specifier too large"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.message);
    Bytes block;
    EXPECT_EQ(error_of([&] { block = serialize_link_specifiers(c.specs); }), c.message);
    EXPECT_EQ(block.size(), c.size);
    if (c.size > 0) {
      EXPECT_EQ(parse_link_specifiers(block), c.specs);
    }
  }
}

TEST(RelayLinkSpecifiers, StrictDottedQuadOnly) {
  static const struct {
    const char *address, *expected;
  } kCases[] = {
      {"192.0.2.7", "0:c000020701bb 2:1111 3:2222"},
      {"255.255.255.255", "0:ffffffff01bb 2:1111 3:2222"},
      {"010.1.2.3", "relay has non-IPv4 address"},
      {"1.2.3", "relay has non-IPv4 address"},
      {"256.1.1.1", "relay has non-IPv4 address"},
      {" 1.2.3.4", "relay has non-IPv4 address"},
      {"::1", "relay has non-IPv4 address"},
  };
  for (const auto& c : kCases) {
    Relay relay;
    relay.address = c.address;
    relay.or_port = 443;
    relay.rsa_identity = {0x11, 0x11};
    relay.ed25519_id = {0x22, 0x22};
    EXPECT_EQ(describe([&] { return relay_link_specifiers(relay); }), c.expected) << c.address;
  }
  // Without a completed Ed25519 identity its specifier is left out.
  Relay relay;
  relay.address = "192.0.2.7";
  relay.or_port = 9001;
  relay.rsa_identity = {0x11};
  EXPECT_EQ(describe([&] { return relay_link_specifiers(relay); }), "0:c00002072329 2:11");
}

}  // namespace
}  // namespace mistgrove_core::directory
