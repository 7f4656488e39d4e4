// Text and byte helpers. The decoders here are written out by hand because
// their failure texts are part of the interface: base64 reasons, the integer
// parse texts and the UTF-8 error texts must read exactly as callers expect.
#include "mistgrove_core/util.h"

#include <fmt/format.h>

#include <array>
#include <type_traits>

#include "mistgrove_core/error.h"

namespace mistgrove_core::util {
namespace {

using error::Error;

// ---- integer parsing ----

// Digits of `radix` (10 or 16) with an optional '+' ('-' too for signed
// types); the first fault met reading left to right decides the text.
template <typename T>
T parse_int(std::string_view text, unsigned radix) {
  if (text.empty()) throw Error(error::kParseIntEmpty);
  if (text.size() == 1 && (text[0] == '+' || text[0] == '-'))
    throw Error(error::kParseIntInvalidDigit);
  bool negative = false;
  if (text[0] == '+') {
    text.remove_prefix(1);
  } else if (std::is_signed_v<T> && text[0] == '-') {
    negative = true;
    text.remove_prefix(1);
  }
  const char* overflow = negative ? error::kParseIntNegOverflow : error::kParseIntPosOverflow;
  T value = 0;
  for (char c : text) {
    unsigned d = radix;  // not a digit
    if (c >= '0' && c <= '9')
      d = static_cast<unsigned>(c - '0');
    else if (c >= 'a' && c <= 'f')
      d = static_cast<unsigned>(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F')
      d = static_cast<unsigned>(c - 'A' + 10);
    if (d >= radix) throw Error(error::kParseIntInvalidDigit);
    const T digit = static_cast<T>(d);
    if (__builtin_mul_overflow(value, static_cast<T>(radix), &value)) throw Error(overflow);
    bool over = negative ? __builtin_sub_overflow(value, digit, &value)
                         : __builtin_add_overflow(value, digit, &value);
    if (over) throw Error(overflow);
  }
  return value;
}

// ---- base64 ----

constexpr u8 kNoSymbol = 0xFF;
constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr u8 kSkipped = 0xFE;  // whitespace base64_decode passes over

constexpr std::array<u8, 256> kBase64Values = [] {
  std::array<u8, 256> values{};
  values.fill(kNoSymbol);
  for (u8 i = 0; i < 64; ++i) values[static_cast<u8>(kBase64Alphabet[i])] = i;
  return values;
}();

// The symbol values, with the whitespace base64_decode skips marked kSkipped.
constexpr std::array<u8, 256> kBase64Input = [] {
  std::array<u8, 256> values = kBase64Values;
  for (u8 c : {' ', '\t', '\n', '\f', '\r'}) values[c] = kSkipped;
  return values;
}();

[[noreturn]] void base64_fail(std::string_view reason) {
  throw Error(fmt::format("base64 decode failed: {}", reason));
}

[[noreturn]] void base64_bad_symbol(u8 symbol, std::size_t offset) {
  base64_fail(fmt::format("Invalid symbol {}, offset {}.", symbol, offset));
}

// Decodes text whose length is a multiple of 4, padding rules as RFC 4648
// section 4 with canonical padding and zero leftover bits. Every quad but the
// last must be four symbols; the last one carries the padding.
Bytes base64_decode_padded(std::string_view text) {
  Bytes out;
  if (text.empty()) return out;
  out.reserve(text.size() / 4 * 3);
  const std::size_t last_quad = text.size() - 4;
  for (std::size_t i = 0; i < last_quad; i += 4) {
    u32 group = 0;
    for (std::size_t j = i; j < i + 4; ++j) {
      u8 symbol = static_cast<u8>(text[j]);
      if (kBase64Values[symbol] == kNoSymbol) base64_bad_symbol(symbol, j);
      group = group << 6 | kBase64Values[symbol];
    }
    out.push_back(static_cast<u8>(group >> 16));
    out.push_back(static_cast<u8>(group >> 8));
    out.push_back(static_cast<u8>(group));
  }

  std::size_t symbols = 0, pads = 0, first_pad = 0;
  u8 last_symbol = 0;
  u32 group = 0;  // symbols packed from bit 31 down, 6 bits each
  for (std::size_t j = last_quad; j < text.size(); ++j) {
    u8 symbol = static_cast<u8>(text[j]);
    if (symbol == '=') {
      if (j - last_quad < 2) base64_bad_symbol(symbol, j);  // padding after < 2 symbols
      if (pads++ == 0) first_pad = j;
      continue;
    }
    if (pads > 0) base64_bad_symbol('=', first_pad);  // a symbol after padding
    if (kBase64Values[symbol] == kNoSymbol) base64_bad_symbol(symbol, j);
    last_symbol = symbol;
    group |= u32{kBase64Values[symbol]} << (26 - 6 * symbols);
    ++symbols;
  }
  if (symbols < 2) base64_fail(fmt::format("Invalid input length: {}", last_quad + symbols));
  if ((symbols + pads) % 4 != 0) base64_fail("Invalid padding");
  const std::size_t tail_bytes = symbols * 6 / 8;
  if (group & (~u32{0} >> (tail_bytes * 8)))
    base64_fail(
        fmt::format("Invalid last symbol {}, offset {}.", last_symbol, last_quad + symbols - 1));
  for (std::size_t k = 0; k < tail_bytes; ++k)
    out.push_back(static_cast<u8>(group >> (24 - 8 * k)));
  return out;
}

// ---- UTF-8 ----

// One step of UTF-8 validation at `at`: a valid sequence and its length, or an
// invalid one with the length of its longest valid prefix (at least 1) and
// whether the input ended inside it.
struct Utf8Step {
  std::size_t len;
  bool valid;
  bool truncated;
};

Utf8Step utf8_step(ByteView data, std::size_t at) {
  const u8 first = data[at];
  if (first < 0x80) return {1, true, false};
  std::size_t width = 0;
  u8 lo = 0x80, hi = 0xBF;  // range of the second byte
  if (first >= 0xC2 && first <= 0xDF) {
    width = 2;
  } else if (first >= 0xE0 && first <= 0xEF) {
    width = 3;
    if (first == 0xE0) lo = 0xA0;  // no overlong forms
    if (first == 0xED) hi = 0x9F;  // no surrogates
  } else if (first >= 0xF0 && first <= 0xF4) {
    width = 4;
    if (first == 0xF0) lo = 0x90;  // no overlong forms
    if (first == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    return {1, false, false};
  }
  for (std::size_t k = 1; k < width; ++k) {
    if (at + k >= data.size()) return {k, false, true};
    const u8 b = data[at + k];
    const bool ok = k == 1 ? (b >= lo && b <= hi) : (b >= 0x80 && b <= 0xBF);
    if (!ok) return {k, false, false};
  }
  return {width, true, false};
}

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// Unicode White_Space code points as UTF-8: the ASCII ones, then U+0085,
// U+00A0, U+1680, U+2000-U+200A, U+2028, U+2029, U+202F, U+205F and U+3000.
// Returns the encoded length of the whitespace character at `at`, or 0.
std::size_t whitespace_len(std::string_view s, std::size_t at) {
  const u8 b = static_cast<u8>(s[at]);
  if (b < 0x80) return (b == ' ' || (b >= 0x09 && b <= 0x0D)) ? 1 : 0;
  auto byte = [&](std::size_t k) { return at + k < s.size() ? static_cast<u8>(s[at + k]) : u8{0}; };
  if (b == 0xC2) return (byte(1) == 0x85 || byte(1) == 0xA0) ? 2 : 0;
  if (b == 0xE1) return (byte(1) == 0x9A && byte(2) == 0x80) ? 3 : 0;
  if (b == 0xE3) return (byte(1) == 0x80 && byte(2) == 0x80) ? 3 : 0;
  if (b != 0xE2) return 0;
  const u8 b1 = byte(1), b2 = byte(2);
  if (b1 == 0x80)
    return ((b2 >= 0x80 && b2 <= 0x8A) || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF) ? 3 : 0;
  return (b1 == 0x81 && b2 == 0x9F) ? 3 : 0;
}

}  // namespace

// ---- endpoints ----

HostPort parse_hostport(std::string_view text, u16 default_port) {
  if (text.empty()) throw Error("empty host");
  std::string_view host;
  u16 port = default_port;
  if (text[0] == '[') {
    const auto close = text.find(']', 1);
    if (close == std::string_view::npos) throw Error("bad IPv6 host:port");
    host = text.substr(1, close - 1);
    const auto after = text.substr(close + 1);
    if (!after.empty()) {
      if (after[0] != ':') throw Error("bad IPv6 port separator");
      port = parse_u16(after.substr(1));
    }
  } else {
    const auto colon = text.rfind(':');
    if (colon == std::string_view::npos) {
      host = text;
    } else if (text.substr(0, colon).find(':') != std::string_view::npos) {
      host = text;  // a bare IPv6 literal
    } else {
      host = text.substr(0, colon);
      port = parse_u16(text.substr(colon + 1));
    }
  }
  if (host.empty()) throw Error("missing host");
  if (port == 0) throw Error("missing port");
  return HostPort{std::string(host), port};
}

// ---- encodings ----

namespace {

// The strict decoder on the text without whitespace, padded to whole quads;
// its offsets count only the symbols kept.
Bytes base64_decode_compacted(std::string_view text) {
  std::string compact;
  compact.reserve(text.size() + 3);
  for (char c : text) {
    if (c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r') continue;
    compact.push_back(c);
  }
  compact.append((4 - compact.size() % 4) % 4, '=');
  return base64_decode_padded(compact);
}

}  // namespace

// One pass over the text for the common case: symbols, whitespace, and at the
// end the padding its last quad can take. Anything else and every failure take
// the strict path, whose texts and offsets stay the reference.
Bytes base64_decode(std::string_view text) {
  Bytes out(text.size() / 4 * 3 + 3);
  u8* put = out.data();
  u32 group = 0;
  std::size_t symbols = 0, at = 0;
  for (; at < text.size(); ++at) {
    const u8 value = kBase64Input[static_cast<u8>(text[at])];
    if (value == kSkipped) continue;
    if (value == kNoSymbol) break;
    group = group << 6 | value;
    if (++symbols % 4 == 0) {
      put[0] = static_cast<u8>(group >> 16);
      put[1] = static_cast<u8>(group >> 8);
      put[2] = static_cast<u8>(group);
      put += 3;
    }
  }
  std::size_t pads = 0;
  for (; at < text.size(); ++at) {
    if (text[at] == '=')
      ++pads;
    else if (kBase64Input[static_cast<u8>(text[at])] != kSkipped)
      return base64_decode_compacted(text);
  }
  if (pads > 0 && (symbols % 4 < 2 || symbols % 4 + pads > 4)) return base64_decode_compacted(text);
  switch (symbols % 4) {
    case 1:
      return base64_decode_compacted(text);
    case 2:  // 12 bits, one byte
      if (group & 0xF) return base64_decode_compacted(text);
      *put++ = static_cast<u8>(group >> 4);
      break;
    case 3:  // 18 bits, two bytes
      if (group & 0x3) return base64_decode_compacted(text);
      *put++ = static_cast<u8>(group >> 10);
      *put++ = static_cast<u8>(group >> 2);
      break;
  }
  out.resize(static_cast<std::size_t>(put - out.data()));
  return out;
}

std::string base64_encode_unpadded(ByteView data) {
  std::string out;
  out.reserve((data.size() * 4 + 2) / 3);
  std::size_t i = 0;
  for (; i + 3 <= data.size(); i += 3) {
    const u32 group = u32{data[i]} << 16 | u32{data[i + 1]} << 8 | data[i + 2];
    for (int shift = 18; shift >= 0; shift -= 6)
      out.push_back(kBase64Alphabet[(group >> shift) & 63]);
  }
  const std::size_t rest = data.size() - i;
  if (rest > 0) {
    u32 group = u32{data[i]} << 16;
    if (rest == 2) group |= u32{data[i + 1]} << 8;
    for (std::size_t k = 0; k <= rest; ++k)
      out.push_back(kBase64Alphabet[(group >> (18 - 6 * k)) & 63]);
  }
  return out;
}

Bytes base32_decode_onion(std::string_view text) {
  const std::string lower = ascii_lowercase(std::string(text));
  std::string_view chars = lower;
  if (chars.ends_with(".onion")) chars.remove_suffix(6);
  if (chars.size() != 56) throw Error("v3 onion address must have 56 base32 characters");
  Bytes out;
  out.reserve(35);
  u32 bits = 0;
  int nbits = 0;
  for (char c : chars) {
    u32 value;
    if (c >= 'a' && c <= 'z') {
      value = static_cast<u32>(c - 'a');
    } else if (c >= '2' && c <= '7') {
      value = static_cast<u32>(c - '2' + 26);
    } else {
      throw Error("invalid base32 character in onion address");
    }
    bits = bits << 5 | value;
    nbits += 5;
    if (nbits >= 8) {
      nbits -= 8;
      out.push_back(static_cast<u8>(bits >> nbits));
      bits &= (1u << nbits) - 1;
    }
  }
  return out;
}

// ---- UTF-8 ----

std::string to_string_lossy(ByteView data) {
  const char* chars = reinterpret_cast<const char*>(data.data());
  std::string out;
  out.reserve(data.size());
  std::size_t at = 0, valid_from = 0;  // valid text not yet copied starts at valid_from
  while (at < data.size()) {
    if (data[at] < 0x80) {
      ++at;
      continue;
    }
    const Utf8Step step = utf8_step(data, at);
    if (!step.valid) {
      out.append(chars + valid_from, at - valid_from).append(kReplacement);
      valid_from = at + step.len;
    }
    at += step.len;
  }
  return out.append(chars + valid_from, data.size() - valid_from);
}

std::string_view utf8_text(ByteView data) {
  std::size_t at = 0;
  while (at < data.size()) {
    const Utf8Step step = utf8_step(data, at);
    if (!step.valid) {
      if (step.truncated)
        throw Error(fmt::format("incomplete utf-8 byte sequence from index {}", at));
      throw Error(fmt::format("invalid utf-8 sequence of {} bytes from index {}", step.len, at));
    }
    at += step.len;
  }
  return {reinterpret_cast<const char*>(data.data()), data.size()};
}

// ---- integers ----

u16 parse_u16(std::string_view text) { return parse_int<u16>(text, 10); }
u64 parse_u64(std::string_view text) { return parse_int<u64>(text, 10); }
i32 parse_i32(std::string_view text) { return parse_int<i32>(text, 10); }
i64 parse_i64(std::string_view text) { return parse_int<i64>(text, 10); }
u64 parse_hex_u64(std::string_view text) { return parse_int<u64>(text, 16); }

u16 read_u16(ByteView data, std::size_t offset) {
  if (offset > data.size()) throw Error("short u16");
  return ByteReader(data.subspan(offset)).read_u16("short u16");
}

u32 read_u32(ByteView data, std::size_t offset) {
  if (offset > data.size()) throw Error("short u32");
  return ByteReader(data.subspan(offset)).read_u32("short u32");
}

// ---- words ----

std::vector<std::string_view> split_ws(std::string_view text) {
  std::vector<std::string_view> words;
  std::size_t at = 0, start = 0;
  bool in_word = false;
  while (at < text.size()) {
    const u8 b = static_cast<u8>(text[at]);
    const std::size_t ws =
        b < 0x80 ? std::size_t{b == ' ' || (b >= 0x09 && b <= 0x0D)} : whitespace_len(text, at);
    if (ws > 0) {
      if (in_word) words.push_back(text.substr(start, at - start));
      in_word = false;
      at += ws;
    } else {
      if (!in_word) start = at;
      in_word = true;
      ++at;
    }
  }
  if (in_word) words.push_back(text.substr(start));
  return words;
}

std::string ascii_lowercase(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

Bytes from_string(std::string_view text) { return Bytes(text.begin(), text.end()); }

Bytes concat(std::initializer_list<ByteView> parts) {
  std::size_t total = 0;
  for (ByteView part : parts) total += part.size();
  Bytes out;
  out.reserve(total);
  for (ByteView part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

// ---- lines ----

bool LineReader::next(std::string_view& line) {
  if (rest_.empty()) return false;
  const std::size_t nl = rest_.find('\n');
  if (nl == std::string_view::npos) {
    line = rest_;
    rest_ = {};
  } else {
    line = rest_.substr(0, nl);
    rest_.remove_prefix(nl + 1);
    if (line.ends_with('\r')) line.remove_suffix(1);
  }
  if (line.ends_with('\r')) line.remove_suffix(1);  // one further CR
  return true;
}

// ---- binary reader and writer ----

ByteView ByteReader::read_bytes(std::size_t n, std::string_view what) {
  if (data_.size() < n) throw Error(std::string(what));
  ByteView out = data_.first(n);
  data_ = data_.subspan(n);
  return out;
}

ByteView ByteReader::read_rest() {
  ByteView out = data_;
  data_ = {};
  return out;
}

namespace {
template <typename T>
T load_be(ByteView bytes) {
  T value = 0;
  for (u8 b : bytes) value = static_cast<T>(value << 8 | b);
  return value;
}

template <typename T>
void store_be(Bytes& out, T value) {
  for (int shift = 8 * (sizeof(T) - 1); shift >= 0; shift -= 8)
    out.push_back(static_cast<u8>(value >> shift));
}
}  // namespace

u8 ByteReader::read_u8(std::string_view what) { return read_bytes(1, what)[0]; }
u16 ByteReader::read_u16(std::string_view what) { return load_be<u16>(read_bytes(2, what)); }
u32 ByteReader::read_u32(std::string_view what) { return load_be<u32>(read_bytes(4, what)); }
u64 ByteReader::read_u64(std::string_view what) { return load_be<u64>(read_bytes(8, what)); }

void ByteWriter::put_u16(u16 v) { store_be(out_, v); }
void ByteWriter::put_u32(u32 v) { store_be(out_, v); }
void ByteWriter::put_u64(u64 v) { store_be(out_, v); }

}  // namespace mistgrove_core::util
