// Session creation failures before any directory request, the poisoned
// consensus lock, and the GET text of requests or its refusal.
#include "mistgrove_core/session.h"

#include <gtest/gtest.h>

#include "base/test_support.h"

namespace mistgrove_core {
namespace {

using mistgrove_test::error_of;

TEST(SessionCreate, FailuresBeforeAnyDirectoryRequest) {
  const std::string data = MISTGROVE_TEST_DATA "/", no_consensus = data + "fake_relay.pem";
  const std::string missing = data + "no/such/consensus";
  const std::string nul_named = no_consensus + std::string("\0x", 2);  // open() reads the PEM
  const std::string closed = "127.0.0.1:1";  // nothing listens, nothing is asked after a bad file
  auto failure = [](const std::string& bootstrap, const std::string& file) {
    return error_of([&] { Session::create(bootstrap, file, 2000, false); });
  };
  EXPECT_EQ(failure(closed, missing), "failed to open " + missing);
  EXPECT_EQ(failure(closed, data), "failed to open " + data);
  EXPECT_EQ(failure(closed, nul_named), "failed to open " + nul_named);
  EXPECT_EQ(failure("127.0.0.1", no_consensus), "missing port");
  EXPECT_EQ(failure(closed, ""),
            "tcp connect failed to 127.0.0.1:1: Connection refused (os error 111)");
  EXPECT_EQ(failure(closed, no_consensus), "consensus missing valid-after");
  EXPECT_EQ(failure(closed, data + "consensus_no_hsdir.txt"),
            "consensus has no microdescriptor digests to fetch");
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

TEST(BuildSimpleHttpGet, ExactRequestTextOrRefusal) {
  for (const auto& r : mistgrove_test::load_records("session_cases.txt", "get")) {
    EXPECT_EQ(mistgrove_test::outcome([&] {
                return mistgrove_test::text(build_simple_http_get(r.text(1), r.text(2)));
              }),
              r.last());
  }
}

}  // namespace
}  // namespace mistgrove_core
