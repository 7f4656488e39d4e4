#include "mistgrove_core/error.h"

#include <fmt/format.h>

#include <cstring>
#include <string_view>

#include "mistgrove_core/util.h"
#include "portability.h"

namespace mistgrove_core::error {

std::string os_error_text(int errnum) {
  char buf[256] = {};
  const char* text = portability::strerror_text(strerror_r(errnum, buf, sizeof buf), buf);
  return fmt::format("{} (os error {})", text, errnum);
}

std::string quoted_form(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') {
      out += {'\\', c};
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\0') {
      out += "\\0";
    } else if (util::is_ascii_control(c)) {
      out += fmt::format("\\u{{{:x}}}", static_cast<unsigned char>(c));
    } else {
      out += c;
    }
  }
  return out + '"';
}

std::string debug_form(const Error& e) {
  return "Error { message: " + quoted_form(e.message()) + " }";
}

}  // namespace mistgrove_core::error
