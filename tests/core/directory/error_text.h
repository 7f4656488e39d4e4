// The message of the Error a call throws, for tests that assert exact texts.
#pragma once

#include <string>

#include "mistgrove_core/error.h"

namespace mistgrove_core::testing {

// "no error" when the call returns; any other exception propagates.
template <typename Call>
std::string error_text(Call&& call) {
  try {
    call();
  } catch (const error::Error& e) {
    return e.what();
  }
  return "no error";
}

}  // namespace mistgrove_core::testing
