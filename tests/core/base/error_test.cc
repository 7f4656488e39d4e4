#include "mistgrove_core/error.h"

#include <cerrno>
#include <gtest/gtest.h>

namespace mistgrove_core::error {
namespace {

TEST(Error, MessageIsTheWholeText) {
  try {
    ensure(false, "circuit destroyed");
    FAIL();
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(), "circuit destroyed");
  }
  EXPECT_NO_THROW(ensure(true, "unused"));
}

TEST(Error, OsErrorCarriesNumber) {
  EXPECT_EQ(os_error_text(ECONNREFUSED), "Connection refused (os error 111)");
}

}  // namespace
}  // namespace mistgrove_core::error
