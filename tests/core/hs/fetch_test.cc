// Descriptor fetch: the order of shared random values and HSDirs, the
// wrapped last failure, and the BEGIN_DIR exchange against the in-process
// peer playing the HSDir.
#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <thread>

#include "hs/fetch.h"
#include "mistgrove_core/hs.h"
#include "tor/fake_relay.h"

namespace mistgrove_core::hs {
namespace {

using namespace mistgrove_core::fake;
using directory::Relay;

// Eight relays, each usable as guard and as HSDir.
directory::Consensus consensus_with(Bytes srv_current, Bytes srv_previous) {
  directory::Consensus c;
  for (int i = 0; i < 8; ++i) c.relays.push_back(relay_named("relay" + std::to_string(i)));
  c.srv_current = std::move(srv_current);
  c.srv_previous = std::move(srv_previous);
  return c;
}

// The keys of the descriptor captured from the private network.
directory::HsPeriodKeys captured_keys() {
  directory::HsPeriodKeys keys;
  for (const auto& r : mistgrove_test::load_records("descriptor_keys.txt")) {
    if (r.kind() == "blinded_key") keys.blinded_key = r.bytes(1);
    if (r.kind() == "subcredential") keys.subcredential = r.bytes(1);
    if (r.kind() == "period") keys.period_num = r.number(1), keys.period_length = r.number(2);
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
  return [&calls, answer](const Relay& hsdir, const Relay& guard, std::string_view path, i32 ms) {
    calls.push_back({hsdir, guard, std::string(path), ms});
    return answer(calls.size() - 1);
  };
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
  const directory::HsPeriodKeys keys = captured_keys();
  const directory::Consensus consensus = consensus_with(Bytes(32, 1), Bytes(32, 2));
  std::vector<Call> calls;
  const std::string error = error_of([&] {
    fetch_hidden_service_descriptor_with(
        consensus, keys, 1234, recording(calls, [&](std::size_t i) -> Bytes {
          throw error::err("HTTP request failed: from " + calls[i].hsdir.nickname);
        }));
  });
  std::vector<std::string> asked;
  for (const Call& call : calls) {
    asked.push_back(call.hsdir.nickname);
    EXPECT_NE(call.guard.ed25519_id, call.hsdir.ed25519_id);
    EXPECT_EQ(call.path, "/tor/hs/3/G5QJRVaz7NRdpYOFdbVbFWIMiY7BjxWxN8HDgRd+tMI");
    EXPECT_EQ(call.timeout_ms, 1234);
  }
  // The HSDirs of the current value in any order, then those of the previous.
  auto hsdirs = [&](const Bytes& srv) {
    std::set<std::string> out;
    for (const Relay& r : directory::select_hsdirs(consensus, keys.blinded_key, srv,
                                                   keys.period_num, keys.period_length))
      out.insert(r.nickname);
    return out;
  };
  const std::set<std::string> current = hsdirs(consensus.srv_current);
  ASSERT_EQ(asked.size(), current.size() + hsdirs(consensus.srv_previous).size());
  EXPECT_EQ(std::set(asked.begin(), asked.begin() + current.size()), current);
  EXPECT_EQ(std::set(asked.begin() + current.size(), asked.end()), hsdirs(consensus.srv_previous));
  EXPECT_EQ(error, "failed to fetch/decrypt hidden service descriptor: HTTP request failed: from " +
                       asked.back());
}

TEST(FetchHiddenServiceDescriptor, FirstAnswerThatDecryptsWins) {
  const std::string outer = mistgrove_test::read_data_file("descriptor_outer.txt");
  std::vector<Call> calls;
  FetchedDescriptor fetched = fetch_hidden_service_descriptor_with(
      consensus_with(Bytes(32, 1), Bytes(32, 2)), captured_keys(), 1000,
      recording(calls,
                [&](std::size_t i) { return from_string(i == 0 ? "not a descriptor" : outer); }),
      u64{499100} * 3600);  // hours before its signing-key certificate expires
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(fetched.guard.rsa_identity, calls[1].guard.rsa_identity);
  EXPECT_EQ(fetched.descriptor.intro_points.size(), 3u);
}

TEST(BeginDirGet, ExchangeWithTheHsdir) {
  constexpr std::size_t kLimit = 8 * 1024 * 1024;
  const std::string head = "HTTP/1.0 200 OK\r\n\r\n";
  auto ok = [&](std::size_t size) { return concat({from_string(head), pattern(size)}); };
  struct Case {
    const char* name;
    u8 answer;  // to BEGIN_DIR; 0: none, on a busy link
    Bytes response;
    const char* error;
    Bytes end_reason = {};
    int drip_bytes = -1;  // then 30 DATA cells of this size, one per 100 ms
  } const kCases[] = {
      {"END before CONNECTED", circuit::kRelayEnd, {}, "BEGIN_DIR rejected by hsdir7"},
      {"no CONNECTED", 0, {}, "timed out waiting for CONNECTED"},
      {"404", circuit::kRelayConnected, from_string("HTTP/1.0 404 Not found\r\n\r\n"),
       "HTTP request failed: HTTP/1.0 404 Not found"},
      {"exactly 8 MiB", circuit::kRelayConnected, ok(kLimit - head.size()), ""},
      {"8 MiB and one byte", circuit::kRelayConnected, ok(kLimit - head.size() + 1),
       "BEGIN_DIR response too large"},
      {"END reason DONE", circuit::kRelayConnected, ok(10), "", {6}},
      {"END reason MISC", circuit::kRelayConnected, ok(10),
       "onion service stream ended with reason 1", {1}},
      // Each cell within the time-out of the last, but not the whole stream.
      {"empty DATA cells", circuit::kRelayConnected, {}, "timed out waiting for DATA", {}, 0},
      {"a byte at a time", circuit::kRelayConnected, {}, "timed out waiting for DATA", {}, 1},
  };
  Relay hsdir = relay_named("hsdir7");
  hsdir.address = "10.0.0.7";
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    std::string request;
    RelayKeys keys;
    Peer peer([&](Conn& conn) {
      RelaySide relay(conn);
      relay.create_fast();
      relay.extend(keys);
      auto got = relay.recv();
      EXPECT_EQ(std::tie(got.hop, got.cell.command, got.cell.stream_id, got.cell.data),
                std::tuple(1u, circuit::kRelayBeginDir, 1, Bytes{}));
      if (c.answer == 0) return relay.chatter();
      // Skipped before CONNECTED: DATA of the stream, cells of another stream.
      relay.send(1, circuit::kRelayData, 1, from_string("early"));
      relay.send(1, circuit::kRelayConnected, 2, {});
      relay.send(1, c.answer, 1, {});
      while (c.answer == circuit::kRelayConnected && request.find("\r\n\r\n") == std::string::npos)
        request += util::to_string_lossy(relay.recv().cell.data);
      relay.serve_data(1, 1, c.response);
      for (int i = 0; c.drip_bytes >= 0 && i < 30; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        relay.send(1, circuit::kRelayData, 1, Bytes(c.drip_bytes, 'x'));
      }
      relay.send(1, circuit::kRelayEnd, 1, c.end_reason);
      conn.wait_closed();
    });
    const bool times_out = std::string(c.error).starts_with("timed out");
    circuit::Circuit circ = open_circuit(peer, times_out ? 300 : 5000);
    circ.extend_ntor(keys.relay);
    Bytes body;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(error_of([&] { body = begin_dir_get(circ, hsdir, "/tor/hs/3/AAAA"); }), c.error);
    if (times_out)
      EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
    if (!*c.error) {
      EXPECT_EQ(body, Bytes(c.response.begin() + head.size(), c.response.end()));
      EXPECT_EQ(request, directory::directory_request_text("/tor/hs/3/AAAA", "10.0.0.7"));
    }
  }
}

}  // namespace
}  // namespace mistgrove_core::hs
