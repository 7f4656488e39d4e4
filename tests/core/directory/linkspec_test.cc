// Link-specifier blocks: parsing, encoding and a relay's three specifiers.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include "mistgrove_core/directory.h"
#include "mistgrove_core/error.h"

namespace mistgrove_core::directory {
namespace {

using error::Error;

Bytes hex(std::string_view text) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < text.size(); i += 2)
    out.push_back(static_cast<u8>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
  return out;
}

// "kind:hexbody" per specifier, joined by spaces, or the failure message.
std::string describe(auto&& fn) {
  try {
    std::string out;
    for (const LinkSpecifier& spec : fn()) {
      out += (out.empty() ? "" : " ") + std::to_string(spec.kind) + ":";
      for (u8 b : spec.data) out += fmt::format("{:02x}", b);
    }
    return out;
  } catch (const Error& e) {
    return std::string("error: ") + e.what();
  }
}

TEST(ParseLinkSpecifiers, Blocks) {
  struct Case {
    const char* block;
    const char* expected;
  };
  static const Case kCases[] = {
      {"", "error: empty link specifier block"},
      {"00", ""},
      {"00ffff", ""},
      {"010000", "0:"},
      {"0100", "error: truncated link specifier"},
      {"02000100", "error: truncated link specifier"},
      {"010006010203", "error: truncated link specifier body"},
      {"0102020a", "error: truncated link specifier body"},
      {"0100060a01020301bb", "0:0a01020301bb"},
      {"0100060a01020301bb0201ff", "0:0a01020301bb"},
      {"02010002020304", "1: 2:0304"},
      {"0101120102030405060708090a0b0c0d0e0f101112", "1:0102030405060708090a0b0c0d0e0f101112"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.block);
    EXPECT_EQ(describe([&] { return parse_link_specifiers(hex(c.block)); }), c.expected);
  }
}

TEST(SerializeLinkSpecifiers, CountAndBodyLimits) {
  struct Case {
    const char* name;
    std::vector<LinkSpecifier> specs;
    std::size_t size;  // of the block, 0 when it fails
    const char* message;
  };
  const Case kCases[] = {
      {"empty list", {}, 1, ""},
      {"255 specifiers", std::vector<LinkSpecifier>(255, LinkSpecifier{{}, 7}), 511, ""},
      {"256 specifiers", std::vector<LinkSpecifier>(256), 0, "too many link specifiers"},
      {"body of 255", {LinkSpecifier{Bytes(255, 1), 9}}, 258, ""},
      {"body of 256 after a good one",
       {LinkSpecifier{Bytes(3, 1), 9}, LinkSpecifier{Bytes(256, 1), 9}},
       0,
       "link specifier too large"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    try {
      Bytes block = serialize_link_specifiers(c.specs);
      EXPECT_EQ(block.size(), c.size);
      EXPECT_EQ(block[0], c.specs.size());
      EXPECT_EQ(parse_link_specifiers(block), c.specs);
    } catch (const Error& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
  }
}

TEST(RelayLinkSpecifiers, StrictDottedQuadOnly) {
  struct Case {
    const char* address;
    const char* expected;
  };
  static const Case kCases[] = {
      {"10.1.2.3", "0:0a01020301bb 2:1111 3:2222"},
      {"0.0.0.0", "0:0000000001bb 2:1111 3:2222"},
      {"255.255.255.255", "0:ffffffff01bb 2:1111 3:2222"},
      {"010.1.2.3", "error: relay has non-IPv4 address"},
      {"1.2.3", "error: relay has non-IPv4 address"},
      {"1.2.3.4.5", "error: relay has non-IPv4 address"},
      {"256.1.1.1", "error: relay has non-IPv4 address"},
      {"1.2.3.-4", "error: relay has non-IPv4 address"},
      {" 1.2.3.4", "error: relay has non-IPv4 address"},
      {"1.2.3.", "error: relay has non-IPv4 address"},
      {"1234.1.1.1", "error: relay has non-IPv4 address"},
      {"::1", "error: relay has non-IPv4 address"},
      {"", "error: relay has non-IPv4 address"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.address);
    Relay relay;
    relay.address = c.address;
    relay.or_port = 443;
    relay.rsa_identity = {0x11, 0x11};
    relay.ed25519_id = {0x22, 0x22};
    EXPECT_EQ(describe([&] { return relay_link_specifiers(relay); }), c.expected);
  }
}

TEST(RelayLinkSpecifiers, CompleteRelayEncodesIn65Bytes) {
  Relay relay;
  relay.address = "192.0.2.7";
  relay.or_port = 9001;
  relay.rsa_identity = Bytes(20, 0xAA);
  relay.ed25519_id = Bytes(32, 0xBB);
  const Bytes block = serialize_link_specifiers(relay_link_specifiers(relay));
  EXPECT_EQ(block.size(), 65u);
  EXPECT_EQ(Bytes(block.begin(), block.begin() + 11), hex("030006c000020723290214"));

  relay.ed25519_id.clear();
  EXPECT_EQ(describe([&] { return relay_link_specifiers(relay); }),
            "0:c00002072329 2:" + std::string(40, 'a') + " 3:");
}

}  // namespace
}  // namespace mistgrove_core::directory
