#include "mistgrove_core/error.h"

#include <cstring>
#include <string_view>
#include <fmt/format.h>

namespace mistgrove_core::error {

std::string os_error_text(int errnum) {
  char buf[256];
  // GNU strerror_r returns a pointer that may or may not be buf.
  const char* text = strerror_r(errnum, buf, sizeof buf);
  return fmt::format("{} (os error {})", text, errnum);
}

std::string debug_form(const Error& e) {
  std::string out = "Error { message: \"";
  for (char c : std::string_view(e.what())) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
          out += fmt::format("\\u{{{:x}}}", static_cast<unsigned>(c));
        else
          out += c;
    }
  }
  return out + "\" }";
}

}  // namespace mistgrove_core::error
