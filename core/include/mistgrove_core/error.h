// The core's one failure type. Every fallible operation either returns its
// value or throws Error; the message is the full text a Python caller sees.
#pragma once

#include <exception>
#include <memory>
#include <string>
#include <string_view>

namespace mistgrove_core::error {

// what() is a C string and ends at the first NUL, while a message may carry
// one from a caller's text (a host name, a file name): message() is the whole
// text. Shared so that copying an Error, as throwing does, cannot throw. It
// has no move: a move copies, so a moved-from Error keeps its message.
class Error : public std::exception {
 public:
  explicit Error(const std::string& message)
      : message_(std::make_shared<const std::string>(message)) {}
  Error(const Error&) noexcept = default;
  Error& operator=(const Error&) noexcept = default;
  const std::string& message() const noexcept { return *message_; }
  const char* what() const noexcept override { return message_->c_str(); }

 private:
  std::shared_ptr<const std::string> message_;
};

// The failure with this message, ready to throw.
inline Error err(const std::string& message) { return Error(message); }

inline void ensure(bool condition, const std::string& message) {
  if (!condition) throw Error(message);
}

// `text` between double quotes, with quotes, backslashes and control
// characters escaped: how a text reads inside the text of an internal fault.
std::string quoted_form(std::string_view text);

// `Error { message: "..." }`, the message in its quoted form.
std::string debug_form(const Error& e);

// "strerror(errnum) (os error N)": how an operating-system failure reads.
std::string os_error_text(int errnum);
inline Error os_error(int errnum) { return Error(os_error_text(errnum)); }

// Integer-parse failure texts shared by every decimal parser of the core.
inline constexpr const char* kParseIntEmpty = "cannot parse integer from empty string";
inline constexpr const char* kParseIntInvalidDigit = "invalid digit found in string";
inline constexpr const char* kParseIntPosOverflow = "number too large to fit in target type";
inline constexpr const char* kParseIntNegOverflow = "number too small to fit in target type";

}  // namespace mistgrove_core::error
