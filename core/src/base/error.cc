#include "mistgrove_core/error.h"

#include <cstring>
#include <fmt/format.h>

namespace mistgrove_core::error {

std::string os_error_text(int errnum) {
  char buf[256];
  // GNU strerror_r returns a pointer that may or may not be buf.
  const char* text = strerror_r(errnum, buf, sizeof buf);
  return fmt::format("{} (os error {})", text, errnum);
}

}  // namespace mistgrove_core::error
