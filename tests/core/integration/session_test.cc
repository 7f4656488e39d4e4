// Session creation against the private Tor network: the consensus from an
// authority's DirPort or from the fixture's file, keys completed for every
// HSDir relay, and the failures of creation.
#include <gtest/gtest.h>

#include "integration/testnet_state.h"
#include "mistgrove_core/session.h"

namespace mistgrove_core {
namespace {

using mistgrove_test::Json;

// Every router of the network is in the consensus as HSDir, with its keys.
void expect_complete(const Session& session, const Json& state) {
  directory::Consensus consensus = session.consensus();
  const auto& routers = state["relays"].array;
  ASSERT_EQ(consensus.relays.size(), routers.size());
  for (const Json& router : routers) {
    SCOPED_TRACE(router["nickname"].text());
    auto it = std::find_if(consensus.relays.begin(), consensus.relays.end(),
                           [&](const directory::Relay& r) {
                             return r.nickname == router["nickname"].text();
                           });
    ASSERT_NE(it, consensus.relays.end());
    EXPECT_TRUE(it->flags.count("HSDir"));
    EXPECT_EQ(it->ntor_onion_key.size(), 32u);
    EXPECT_EQ(util::base64_encode_unpadded(it->ed25519_id), router["ed25519_id"].text());
    EXPECT_EQ(it->or_port, router["orport"].integer());
    EXPECT_TRUE(directory::relay_usable_hsdir(*it));
    EXPECT_TRUE(directory::relay_usable_rendezvous(*it));
  }
}

TEST(SessionOnTestnet, FromAuthorityDirPort) {
  TESTNET_STATE_OR_SKIP(state);
  auto session = Session::create((*state)["authority_dirports"][0].text(), "", 10000, false);
  expect_complete(*session, *state);
  EXPECT_NE(session->consensus().valid_after, 0);
}

TEST(SessionOnTestnet, FromConsensusFile) {
  TESTNET_STATE_OR_SKIP(state);
  auto session = Session::create((*state)["authority_dirports"][1].text(),
                                 (*state)["consensus_file"].text(), 10000, false);
  expect_complete(*session, *state);
  EXPECT_EQ(session->consensus().srv_current.size(), 32u);  // the fixture's disaster value
}

TEST(SessionOnTestnet, CreationFailures) {
  TESTNET_STATE_OR_SKIP(state);
  const std::string authority = (*state)["authority_dirports"][0].text();
  const std::string missing = (*state)["data_dir"].text() + "/no-such-consensus";
  struct Case {
    const char* name;
    std::string bootstrap;
    std::string file;
    std::string message;
  } cases[] = {
      {"unreachable bootstrap", "127.0.0.1:1", "",
       "tcp connect failed to 127.0.0.1:1: Connection refused (os error 111)"},
      {"missing file", authority, missing, "failed to open " + missing},
      {"bootstrap without port", "127.0.0.1", (*state)["consensus_file"].text(), "missing port"},
      {"directory answering 404", (*state)["http_direct"].text(), "",
       "HTTP request failed: HTTP/1.0 404 Not Found"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      Session::create(c.bootstrap, c.file, 5000, false);
      ADD_FAILURE() << "created";
    } catch (const error::Error& e) {
      EXPECT_EQ(std::string(e.what()), c.message);
    }
  }
}

}  // namespace
}  // namespace mistgrove_core
