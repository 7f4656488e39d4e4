// The link and circuit layers against the private Tor network's relays: link
// protocol v5, CREATE_FAST, ntor extensions, and directory fetches over
// BEGIN_DIR through three hops with both kinds of SENDME, which relays check.
#include <gtest/gtest.h>

#include "base/test_support.h"
#include "circuit_paths.h"

namespace mistgrove_core {
namespace {

constexpr const char* kConsensusPath = "/tor/status-vote/current/consensus-microdesc";

circuit::Circuit three_hops(const mistgrove_test::Routers& net) {
  const directory::Relay& guard = net.named("relay1");
  tor::TorChannel channel = tor::TorChannel::open(guard.address, guard.or_port, 10000);
  EXPECT_EQ(channel.link_version(), 5);
  circuit::Circuit circ = circuit::Circuit::create_fast(std::move(channel), 10000);
  for (const char* name : {"relay2", "auth1"}) circ.extend_ntor(net.named(name));
  return circ;
}

// The vote digests the consensus names, joined for one request of all votes.
std::string votes_path(const Bytes& consensus) {
  std::string text = util::to_string_lossy(consensus), path = "/tor/status-vote/current/d/";
  for (std::size_t at = 0; (at = text.find("\nvote-digest ", at)) != std::string::npos; ++at)
    path += text.substr(at + 13, 40) + "+";
  path.pop_back();
  return path;
}

TEST(LinkCircuit, BeginDirThroughThreeHopsMatchesThePlainFetch) {
  TESTNET_STATE_OR_SKIP(state);
  const auto net = mistgrove_test::load_routers(*state);
  circuit::Circuit circ = three_hops(net);
  ASSERT_EQ(circ.hop_count(), 3u);
  mistgrove_test::DirStreams dir(circ);
  // The votes of the consensus (25 KB: a stream SENDME due) are served until
  // the next lands (a minute). Padded requests make the relay send SENDMEs of
  // both kinds.
  for (int attempt = 0; attempt < 3 && dir.sent_stream_sendmes == 0; ++attempt)
    dir.get(votes_path(directory::http_get_direct(net.authority, kConsensusPath, 10000)), 30000);
  // Relays close a circuit on a wrong SENDME digest (below): every fetch after
  // a SENDME proves it was accepted. A relay may publish a new descriptor
  // meanwhile, so each fetch through the circuit must equal the plain fetch
  // made just before it or the one made just after.
  auto plain = [&] { return directory::http_get_direct(net.authority, "/tor/server/all", 10000); };
  for (Bytes before = plain(); dir.sent_circuit_sendmes < 3;) {
    const Bytes through = directory::decode_http_body(dir.get("/tor/server/all", 30000));
    Bytes after = plain();
    EXPECT_TRUE(through == before || through == after)
        << through.size() << " bytes against " << before.size() << " and " << after.size();
    before = std::move(after);
  }
  EXPECT_GE(dir.sent_stream_sendmes, 1);
  EXPECT_GE(dir.got_circuit_sendmes, 1);
  EXPECT_GE(dir.got_stream_sendmes, 2);

  circuit::Circuit other = three_hops(net);
  mistgrove_test::DirStreams corrupt(other);
  corrupt.corrupt_circuit_sendmes = true;
  EXPECT_EQ(mistgrove_test::error_of([&] {
              while (corrupt.sent_circuit_sendmes < 2) corrupt.get("/tor/server/all");
            }),
            "circuit destroyed");
  EXPECT_EQ(corrupt.sent_circuit_sendmes, 1);
}

}  // namespace
}  // namespace mistgrove_core
