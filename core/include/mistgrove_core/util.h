// Byte and text helpers shared by the whole core: endpoints, base64, the
// base32 of onion addresses, lossy UTF-8, big-endian reads.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace mistgrove_core {

using u8 = std::uint8_t;
using u16 = std::uint16_t;
using u32 = std::uint32_t;
using u64 = std::uint64_t;
using i32 = std::int32_t;
using i64 = std::int64_t;

// Owned byte string and borrowed byte view, used throughout the core.
using Bytes = std::vector<u8>;
using ByteView = std::span<const u8>;

}  // namespace mistgrove_core

namespace mistgrove_core::util {

// A TCP endpoint; IPv6 literals are kept without brackets.
struct HostPort {
  std::string host;
  u16 port = 0;
  bool operator==(const HostPort&) const = default;
};

HostPort parse_hostport(std::string_view text, u16 default_port);

// Decimal integers of directory documents: an optional sign ("+" only for
// u16), then digits and nothing else; failures carry the error::kParseInt*
// texts, the first failure met from the left deciding.
u16 parse_u16(std::string_view text);
i32 parse_i32(std::string_view text);

Bytes base64_decode(std::string_view text);
std::string base64_encode_unpadded(ByteView data);

// The 35 bytes of a v3 onion address (56 base32 characters, optional ".onion").
Bytes base32_decode_onion(std::string_view text);

// Each maximal invalid UTF-8 subsequence becomes one U+FFFD.
std::string to_string_lossy(ByteView data);
// The bytes as UTF-8 text (a view of them), or Error with the decoding failure
// text: "invalid utf-8 sequence of {} bytes from index {}" or "incomplete utf-8
// byte sequence from index {}".
std::string_view utf8_text(ByteView data);

u16 read_u16(ByteView data, std::size_t offset);
u32 read_u32(ByteView data, std::size_t offset);

// Words split at Unicode whitespace; the views borrow `text`.
std::vector<std::string_view> split_ws(std::string_view text);

Bytes from_string(std::string_view text);

}  // namespace mistgrove_core::util
