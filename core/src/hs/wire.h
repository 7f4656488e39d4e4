// Byte-level helpers of the onion-service code: a bounds-checked reader for
// binary formats, concatenation of fields, and key material that is wiped
// when it goes out of scope. Internal to the hs module.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

#include "mistgrove_core/crypto.h"
#include "mistgrove_core/error.h"
#include "mistgrove_core/util.h"

namespace mistgrove_core::hs::wire {

inline ByteView as_bytes(std::string_view text) {
  return {reinterpret_cast<const u8*>(text.data()), text.size()};
}

inline Bytes concat(std::initializer_list<ByteView> parts) {
  std::size_t total = 0;
  for (ByteView part : parts) total += part.size();
  Bytes out;
  out.reserve(total);
  for (ByteView part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

// INT_8(x): x as 8 bytes, big-endian.
inline Bytes int8(u64 value) {
  Bytes out(8);
  for (int i = 7; i >= 0; --i, value >>= 8) out[i] = static_cast<u8>(value);
  return out;
}

// Key material that is overwritten with zeros when it goes out of scope.
struct Secret {
  Bytes bytes;
  Secret() = default;
  explicit Secret(Bytes b) : bytes(std::move(b)) {}
  Secret(const Secret&) = delete;
  Secret& operator=(const Secret&) = delete;
  ~Secret() { crypto::wipe(bytes); }
  ByteView view(std::size_t offset, std::size_t len) const {
    return ByteView(bytes).subspan(offset, len);
  }
};

// A non-owning cursor over a binary structure. Every read checks the bytes
// left; a short read throws `failure`, which ends the parse.
class ByteReader {
 public:
  ByteReader(ByteView data, std::string failure) : data_(data), failure_(std::move(failure)) {}

  std::size_t remaining() const { return data_.size(); }
  // Bytes consumed so far, counted from the start.
  std::size_t offset() const { return consumed_; }

  ByteView take(std::size_t n) {
    error::ensure(n <= data_.size(), failure_);
    ByteView out = data_.first(n);
    data_ = data_.subspan(n);
    consumed_ += n;
    return out;
  }
  u8 read_u8() { return take(1)[0]; }
  u16 read_u16() {
    ByteView b = take(2);
    return static_cast<u16>(b[0] << 8 | b[1]);
  }
  u32 read_u32() {
    ByteView b = take(4);
    return u32{b[0]} << 24 | u32{b[1]} << 16 | u32{b[2]} << 8 | b[3];
  }

 private:
  ByteView data_;
  std::string failure_;
  std::size_t consumed_ = 0;
};

}  // namespace mistgrove_core::hs::wire
