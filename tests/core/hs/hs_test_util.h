// The names under which onion-service tests reach the shared test helpers.
#pragma once

#include <initializer_list>
#include <string>

#include "base/test_support.h"

namespace mistgrove_core::testing {

using mistgrove_test::hex;

inline std::string read_test_file(const std::string& name) {
  return mistgrove_test::read_data_file(name);
}

inline Bytes cat(std::initializer_list<ByteView> parts) { return util::concat(parts); }

}  // namespace mistgrove_core::testing
