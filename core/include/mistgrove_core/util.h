// Byte and text helpers shared by the whole core: endpoints, base64, the
// base32 of onion addresses, UTF-8, decimal integers, big-endian reads and a
// small reader/writer pair for binary formats.
#pragma once

#include <cstdint>
#include <initializer_list>
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

// "host", "host:port", "[v6]", "[v6]:port" or a bare IPv6 literal; a missing
// port takes default_port, and a resulting port 0 fails "missing port".
HostPort parse_hostport(std::string_view text, u16 default_port);

// Standard alphabet; ASCII whitespace is skipped and missing padding added.
// Fails "base64 decode failed: {reason}".
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

// Decimal integers: optional leading '+' ('-' too for the signed types), digits
// only, no whitespace. Failures carry the integer-parse texts of error.h; the
// first fault met reading left to right decides.
u16 parse_u16(std::string_view text);
u64 parse_u64(std::string_view text);
i32 parse_i32(std::string_view text);
i64 parse_i64(std::string_view text);
// The same rules with hexadecimal digits of either case.
u64 parse_hex_u64(std::string_view text);

// Big-endian reads at an offset; "short u16" / "short u32" past the end.
u16 read_u16(ByteView data, std::size_t offset);
u32 read_u32(ByteView data, std::size_t offset);

// Words split at Unicode whitespace; the views borrow `text`.
std::vector<std::string_view> split_ws(std::string_view text);

// The text with A-Z turned to a-z; every other byte kept.
std::string ascii_lowercase(std::string text);
// A C0 control character or DEL.
inline bool is_ascii_control(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }

Bytes from_string(std::string_view text);
// The bytes of a text, borrowed.
inline ByteView text_bytes(std::string_view text) {
  return {reinterpret_cast<const u8*>(text.data()), text.size()};
}
// The parts joined in one allocation, so that no reallocation leaves a stray
// copy of secret material behind.
Bytes concat(std::initializer_list<ByteView> parts);

// The lines of a document as the directory formats read them: split at LF,
// the line ending (LF or CR LF) removed, then one further trailing CR. A final
// LF ends the last line and starts no new one. The views borrow the text.
class LineReader {
 public:
  explicit LineReader(std::string_view text) : rest_(text) {}
  // The next line, or false at the end of the text.
  bool next(std::string_view& line);

 private:
  std::string_view rest_;
};

// A cursor over borrowed bytes for parsing binary formats. Every read checks
// the remaining length first and throws Error(what) when it runs short, so a
// truncated input ends the parse with the caller's own message. The viewed
// bytes must outlive the reader and the views it returns.
class ByteReader {
 public:
  explicit ByteReader(ByteView data) : data_(data) {}

  std::size_t remaining() const { return data_.size(); }
  bool empty() const { return data_.empty(); }

  u8 read_u8(std::string_view what);
  u16 read_u16(std::string_view what);
  u32 read_u32(std::string_view what);
  u64 read_u64(std::string_view what);
  ByteView read_bytes(std::size_t n, std::string_view what);
  // Everything not read yet; the reader is then empty.
  ByteView read_rest();

 private:
  ByteView data_;
};

// Appends big-endian integers and byte strings to an owned buffer.
class ByteWriter {
 public:
  ByteWriter() = default;
  explicit ByteWriter(std::size_t reserve) { out_.reserve(reserve); }

  void put_u8(u8 v) { out_.push_back(v); }
  void put_u16(u16 v);
  void put_u32(u32 v);
  void put_u64(u64 v);
  void put_bytes(ByteView data) { out_.insert(out_.end(), data.begin(), data.end()); }

  std::size_t size() const { return out_.size(); }
  Bytes take() { return std::move(out_); }

 private:
  Bytes out_;
};

}  // namespace mistgrove_core::util
