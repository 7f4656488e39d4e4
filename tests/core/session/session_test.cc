// Session creation failures before any directory request, the poisoned
// consensus lock, and the GET text of requests.
#include "mistgrove_core/session.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "base/test_support.h"

namespace mistgrove_core {
namespace {

using mistgrove_test::error_of;

std::string write_temp(const std::string& name, const std::string& content) {
  const std::string path = ::testing::TempDir() + name;
  std::ofstream(path, std::ios::binary) << content;
  return path;
}

TEST(SessionCreate, FailuresBeforeAnyDirectoryRequest) {
  // A consensus whose only relay is no HSDir: nothing to complete.
  const std::string no_hsdir =
      write_temp("no_hsdir.txt",
                 "network-status-version 3 microdesc\nvalid-after 2026-12-05 18:00:00\n"
                 "fresh-until 2026-12-05 19:00:00\n"
                 "r a AAAAAAAAAAAAAAAAAAAAAAAAAAA 2026-12-05 17:00:00 127.0.0.1 9001 0\n"
                 "m AAAA\ns Running Valid\ndirectory-footer\n");
  const std::string empty = write_temp("empty.txt", "");
  const std::string missing = ::testing::TempDir() + "no/such/consensus";
  const std::string nul_named = empty + std::string("\0x", 2);  // open() would read `empty`
  // Nothing listens on port 1; nothing is asked there after a bad file.
  const std::string closed = "127.0.0.1:1";
  const struct {
    std::string bootstrap, file, message;
  } kCases[] = {
      {closed, missing, "failed to open " + missing},
      {closed, ::testing::TempDir(), "failed to open " + ::testing::TempDir()},
      {closed, nul_named, "failed to open " + nul_named},
      {"127.0.0.1", empty, "missing port"},
      {closed, "", "tcp connect failed to 127.0.0.1:1: Connection refused (os error 111)"},
      {closed, empty, "consensus missing valid-after"},
      {closed, no_hsdir, "consensus has no microdescriptor digests to fetch"},
  };
  for (const auto& c : kCases)
    EXPECT_EQ(error_of([&] { Session::create(c.bootstrap, c.file, 2000, false); }), c.message);
  std::remove(no_hsdir.c_str());
  std::remove(empty.c_str());
}

TEST(GuardedConsensus, FailureInsideTheLockPoisonsItForGood) {
  directory::Consensus consensus;
  consensus.valid_after = 42;
  GuardedConsensus guarded(consensus);
  EXPECT_EQ(guarded.copy().valid_after, 42);
  EXPECT_THROW(guarded.with([](const directory::Consensus&) -> int { throw std::bad_alloc(); }),
               std::bad_alloc);
  for (int i = 0; i < 2; ++i)
    EXPECT_EQ(error_of([&] { guarded.copy(); }), "consensus lock poisoned");
}

TEST(BuildSimpleHttpGet, ExactRequestText) {
  const struct {
    const char *host, *path, *request;
  } kCases[] = {
      {"ABCdef.ONION", "", "GET / HTTP/1.0\r\nHost: abcdef.onion\r\nConnection: close\r\n\r\n"},
      {"h", "index.html", "GET /index.html HTTP/1.0\r\nHost: h\r\nConnection: close\r\n\r\n"},
      {"\xC3\x89Z9", "//x?y=%20",
       "GET //x?y=%20 HTTP/1.0\r\nHost: \xC3\x89z9\r\nConnection: close\r\n\r\n"},
  };
  for (const auto& c : kCases)
    EXPECT_EQ(mistgrove_test::text(build_simple_http_get(c.host, c.path)), c.request);
}

}  // namespace
}  // namespace mistgrove_core
