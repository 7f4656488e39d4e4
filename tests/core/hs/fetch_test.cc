// Descriptor fetch: the order of shared random values and HSDirs, the guard
// rule, the wrapped last failure, and the BEGIN_DIR exchange against an
// in-process peer that plays the HSDir.
#include <gtest/gtest.h>

#include <set>
#include <sstream>

#include "hs/hs_test_util.h"
#include "hs/stream_peer.h"
#include "mistgrove_core/error.h"
#include "mistgrove_core/hs.h"

namespace mistgrove_core::hs {
namespace {

using circuit::testing::Conn;
using circuit::testing::open_circuit;
using circuit::testing::Peer;
using circuit::testing::RelaySide;
using directory::Relay;
using mistgrove_test::error_of;
using testing::pattern;

Relay relay_named(const std::string& nickname) {
  Relay r;
  r.nickname = nickname;
  r.address = "127.0.0.1";
  r.or_port = 9001;
  r.rsa_identity = crypto::random_bytes(20);
  r.ed25519_id = crypto::random_bytes(32);
  r.ntor_onion_key = crypto::random_bytes(32);
  r.flags = {"HSDir", "Running", "Valid"};
  return r;
}

// Eight relays, each usable as guard and as HSDir.
directory::Consensus consensus_with(Bytes srv_current, Bytes srv_previous) {
  directory::Consensus c;
  for (int i = 0; i < 8; ++i) c.relays.push_back(relay_named("relay" + std::to_string(i)));
  c.srv_current = std::move(srv_current);
  c.srv_previous = std::move(srv_previous);
  return c;
}

// The keys of the descriptor captured from the private network
// (tests/core/data/descriptor_keys.txt).
directory::HsPeriodKeys captured_keys() {
  directory::HsPeriodKeys keys;
  std::istringstream lines(mistgrove_core::testing::read_test_file("descriptor_keys.txt"));
  for (std::string key, rest; lines >> key && std::getline(lines, rest);) {
    std::istringstream words(rest);
    if (key == "blinded_key") keys.blinded_key = mistgrove_core::testing::hex(rest);
    if (key == "subcredential") keys.subcredential = mistgrove_core::testing::hex(rest);
    if (key == "period") words >> keys.period_num >> keys.period_length;
  }
  return keys;
}

struct Call {
  Relay hsdir, guard;
  std::string path;
  i32 timeout_ms;
};

// A fake exchange with each HSDir: records the call, then answers with
// `answer` (which may throw).
HsdirFetch recording(std::vector<Call>& calls, std::function<Bytes(std::size_t)> answer) {
  return [&calls, answer](const Relay& hsdir, const Relay& guard, std::string_view path,
                          i32 timeout_ms) {
    calls.push_back({hsdir, guard, std::string(path), timeout_ms});
    return answer(calls.size() - 1);
  };
}

std::set<std::string> nicknames(const std::vector<Relay>& relays) {
  std::set<std::string> out;
  for (const Relay& r : relays) out.insert(r.nickname);
  return out;
}

TEST(ChooseHsdirGuard, ConsecutiveGuardsNeverTheHsdirItself) {
  const std::vector<Relay> guards = {relay_named("G0"), relay_named("G1"), relay_named("G2")};
  Relay like_g1 = relay_named("H1");
  like_g1.ed25519_id = guards[1].ed25519_id;
  const Relay hsdirs[] = {relay_named("H0"), like_g1, relay_named("H2")};
  std::size_t counter = 0;
  std::string used;
  for (const Relay& hsdir : hsdirs) used += choose_hsdir_guard(guards, hsdir, counter)->nickname;
  EXPECT_EQ(used, "G0G2G0");
  EXPECT_EQ(counter, 1u);

  // Only the HSDir itself: no guard, and the counter stays.
  const std::vector<Relay> only_self = {like_g1};
  counter = 0;
  EXPECT_EQ(choose_hsdir_guard(only_self, like_g1, counter), nullptr);
  EXPECT_EQ(counter, 0u);
  const std::vector<Relay> self_then_other = {like_g1, guards[0]};
  EXPECT_EQ(choose_hsdir_guard(self_then_other, like_g1, counter)->nickname, "G0");
  EXPECT_EQ(counter, 0u);
}

TEST(FetchHiddenServiceDescriptor, FailuresBeforeAnyRequest) {
  const Bytes srv(32, 7);
  struct Case {
    const char* name;
    Bytes current, previous;
    bool guards_usable;
    const char* error;
  } const kCases[] = {
      {"no shared random value", {}, {}, true, "consensus has no shared-rand values"},
      {"current of 31 bytes ends the fetch though the previous is valid", Bytes(31, 1), srv, true,
       "shared random value missing from consensus"},
      {"no relay usable as guard", srv, {}, false, "no usable rendezvous relays in consensus"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    directory::Consensus consensus = consensus_with(c.current, c.previous);
    if (!c.guards_usable)
      for (Relay& r : consensus.relays) r.ntor_onion_key.clear();
    std::vector<Call> calls;
    EXPECT_EQ(error_of([&] {
                fetch_hidden_service_descriptor_with(
                    consensus, captured_keys(), 1000,
                    recording(calls, [](std::size_t) { return Bytes{}; }));
              }),
              c.error);
    EXPECT_TRUE(calls.empty());
  }
}

TEST(FetchHiddenServiceDescriptor, EveryHsdirOnceThenTheLastFailureWrapped) {
  const Bytes current(32, 1), previous(32, 2);
  struct Case {
    const char* name;
    Bytes current, previous;
  } const kCases[] = {
      {"current, then previous", current, previous},
      {"previous only", {}, previous},
      {"current only", current, {}},
  };
  const directory::HsPeriodKeys keys = captured_keys();
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const directory::Consensus consensus = consensus_with(c.current, c.previous);
    std::vector<std::set<std::string>> expected_groups;
    for (const Bytes* srv : {&c.current, &c.previous})
      if (!srv->empty())
        expected_groups.push_back(nicknames(directory::select_hsdirs(
            consensus, keys.blinded_key, *srv, keys.period_num, keys.period_length)));

    std::vector<Call> calls;
    std::string error = error_of([&] {
      fetch_hidden_service_descriptor_with(
          consensus, keys, 1234, recording(calls, [&](std::size_t i) -> Bytes {
            throw error::err("HTTP request failed: from " + calls[i].hsdir.nickname);
          }));
    });
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(error,
              "failed to fetch/decrypt hidden service descriptor: HTTP request failed: from " +
                  calls.back().hsdir.nickname);
    std::size_t at = 0;
    for (const std::set<std::string>& group : expected_groups) {
      std::vector<Relay> asked;
      for (; asked.size() < group.size() && at < calls.size(); ++at)
        asked.push_back(calls[at].hsdir);
      EXPECT_EQ(nicknames(asked), group);
      EXPECT_EQ(asked.size(), group.size());
    }
    EXPECT_EQ(at, calls.size());
    for (const Call& call : calls) {
      EXPECT_NE(call.guard.ed25519_id, call.hsdir.ed25519_id);
      EXPECT_EQ(call.path, "/tor/hs/3/G5QJRVaz7NRdpYOFdbVbFWIMiY7BjxWxN8HDgRd+tMI");
      EXPECT_EQ(call.timeout_ms, 1234);
    }
  }
}

TEST(FetchHiddenServiceDescriptor, FirstAnswerThatDecryptsWins) {
  const directory::Consensus consensus = consensus_with(Bytes(32, 1), Bytes(32, 2));
  const std::string outer = mistgrove_core::testing::read_test_file("descriptor_outer.txt");
  std::vector<Call> calls;
  FetchedDescriptor fetched = fetch_hidden_service_descriptor_with(
      consensus, captured_keys(), 1000, recording(calls, [&](std::size_t i) {
        if (i == 0) return util::from_string("not a descriptor");
        return util::from_string(outer);
      }));
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(fetched.guard.nickname, calls[1].guard.nickname);
  EXPECT_EQ(fetched.guard.rsa_identity, calls[1].guard.rsa_identity);
  EXPECT_EQ(fetched.descriptor.intro_points.size(), 3u);
}

Bytes http_ok(ByteView body) {
  return mistgrove_core::testing::cat({util::from_string("HTTP/1.0 200 OK\r\n\r\n"), body});
}

TEST(BeginDirGet, ExchangeWithTheHsdir) {
  constexpr std::size_t kLimit = 8 * 1024 * 1024;
  const std::size_t head = http_ok({}).size();
  // The guard and the HSDir of one BEGIN_DIR exchange.
  struct Case {
    const char* name;
    bool rejected;
    Bytes response;
    const char* error;
    bool silent = false;  // the HSDir never answers BEGIN_DIR, the link stays busy
  } const kCases[] = {
      {"END before CONNECTED", true, {}, "BEGIN_DIR rejected by hsdir7"},
      {"no CONNECTED", false, {}, "timed out waiting for CONNECTED", true},
      {"200 over 150 cells", false, http_ok(pattern(150 * 498 - 3)), ""},
      {"404", false, util::from_string("HTTP/1.0 404 Not found\r\n\r\n"),
       "HTTP request failed: HTTP/1.0 404 Not found"},
      {"exactly 8 MiB", false, http_ok(pattern(kLimit - head)), ""},
      {"8 MiB and one byte", false, http_ok(pattern(kLimit - head + 1)),
       "BEGIN_DIR response too large"},
  };
  Relay hsdir = relay_named("hsdir7");
  hsdir.address = "10.0.0.7";
  const std::string path = "/tor/hs/3/AAAA";
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    std::string request;
    circuit::testing::RelayKeys keys;
    Peer peer([&](Conn& conn) {
      RelaySide relay(conn);
      relay.create_fast();
      relay.extend(keys);
      auto got = relay.recv();
      EXPECT_EQ(got.hop, 1u);
      EXPECT_EQ(got.cell.command, circuit::kRelayBeginDir);
      EXPECT_EQ(got.cell.stream_id, 1);
      EXPECT_TRUE(got.cell.data.empty());
      if (c.silent) return relay.chatter();
      // Skipped before CONNECTED: DATA of the stream, cells of another stream.
      relay.send(1, circuit::kRelayData, 1, util::from_string("early"));
      relay.send(1, circuit::kRelayConnected, 2, {});
      relay.send(1, c.rejected ? circuit::kRelayEnd : circuit::kRelayConnected, 1, {});
      if (c.rejected) return conn.wait_closed();
      while (request.find("\r\n\r\n") == std::string::npos) {
        got = relay.recv();
        EXPECT_EQ(got.cell.command, circuit::kRelayData);
        request += util::to_string_lossy(got.cell.data);
      }
      testing::serve_data(relay, 1, 1, c.response);
      relay.send(1, circuit::kRelayEnd, 1, {});
      conn.wait_closed();
    });
    circuit::Circuit circ = open_circuit(peer, c.silent ? 300 : 5000);
    circ.extend_ntor(keys.relay);
    Bytes body;
    EXPECT_EQ(error_of([&] { body = begin_dir_get(circ, hsdir, path); }), c.error);
    if (!*c.error) {
      EXPECT_EQ(body, Bytes(c.response.begin() + head, c.response.end()));
      EXPECT_EQ(request, directory::directory_request_text(path, "10.0.0.7"));
    }
  }
}

}  // namespace
}  // namespace mistgrove_core::hs
