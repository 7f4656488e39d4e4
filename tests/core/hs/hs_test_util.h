// Small helpers of the onion-service tests: hex and file input, byte
// concatenation.
#pragma once

#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
#include <string_view>

#include "directory/error_text.h"
#include "mistgrove_core/util.h"

namespace mistgrove_core::testing {

inline Bytes hex(std::string_view text) {
  Bytes out;
  std::string digits;
  for (char c : text) {
    if (std::isxdigit(static_cast<unsigned char>(c))) digits.push_back(c);
  }
  for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
    out.push_back(static_cast<u8>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  }
  return out;
}

inline Bytes cat(std::initializer_list<ByteView> parts) {
  Bytes out;
  for (ByteView part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

inline ByteView text_bytes(std::string_view text) {
  return {reinterpret_cast<const u8*>(text.data()), text.size()};
}

inline std::string read_test_file(const std::string& name) {
  std::ifstream in(std::string(MISTGROVE_TEST_DATA) + "/" + name, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

}  // namespace mistgrove_core::testing
