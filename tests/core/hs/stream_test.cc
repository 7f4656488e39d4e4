// Streams against the in-process peer: to the service's end-to-end hop (BEGIN,
// the SENDME rules, END reasons), BEGIN_DIR, and failed rendezvous.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>

#include "hs/fetch.h"
#include "hs/rendezvous.h"
#include "tor/fake_relay.h"

namespace mistgrove_core::hs {
namespace {

using namespace mistgrove_core::fake;
using namespace circuit;
using Service = std::function<void(RelaySide&)>;
constexpr i32 kTimeoutMs = 300;
const auto now = std::chrono::steady_clock::now;

void destroy(RelaySide& r) { r.conn.write_cell(r.circ_id, tor::kCellDestroy, {}); }

TEST(RendezvousStream, BeginAndExchangeUnderTheWindows) {
  const Bytes response = pattern(100 * 498), payload = pattern(1200 * 498);
  // Cells that neither count nor end the read follow each DATA cell and move
  // the digest, so the circuit SENDME shows when the client read it.
  auto serve = [&](RelaySide& r) {
    auto between = [&] {
      r.send(1, kRelayData, 2, from_string("other stream")), r.send(1, kRelayEnd, 0, {});
      r.send(1, kRelaySendme, 1, {}), r.send_garbage();
    };
    EXPECT_EQ(r.serve_data(1, 1, response, between), 3);
    r.send(1, kRelayEnd, 1, {});
  };
  // DATA "x" (or nothing) every third of the time-out: each renews the wait.
  auto trickle = [](Bytes data) -> Service {
    return [data](RelaySide& relay) {
      for (int i = 0; i < 10; ++i)
        std::this_thread::sleep_for(ms(kTimeoutMs / 3)), relay.send(1, kRelayData, 1, data);
      relay.send(1, kRelayEnd, 1, {});
    };
  };
  // Reads the upload, acknowledging as told; after `answer_at` cells answers
  // "x" and ENDs with `end`.
  enum Ack { kNone, kV0, kV1, kWrongDigest };
  Bytes received;
  auto upload = [&](Ack acks, bool stream_acks, int answer_at, Bytes end) -> Service {
    return [=, &received](RelaySide& relay) {
      for (int cells = 0; answer_at == 0 || cells < answer_at;) {
        const auto got = relay.recv();
        if (got.cell.command != kRelayData) continue;
        received.insert(received.end(), got.cell.data.begin(), got.cell.data.end());
        Bytes digest = relay.hops[1].backward_digest.current();
        digest.resize(20), digest[19] ^= acks == kWrongDigest;
        if (++cells % 50 == 0 && stream_acks) relay.send(1, kRelaySendme, 1, {});
        if (cells % 100 == 0 && acks != kNone)
          relay.send(1, kRelaySendme, 0,
                     acks == kV0 ? Bytes{0, 0, 0} : concat({Bytes{1, 0, 20}, digest}));
      }
      relay.send(1, kRelayData, 1, from_string("x")), relay.send(1, kRelayEnd, 1, end);
    };
  };
  const Bytes x = from_string("x");
  // BEGIN_DIR: the request read, `response` served. One deadline for the whole
  // stream, and a limit of its own.
  constexpr std::size_t kDirLimit = 8 * 1024 * 1024;
  const std::string head = "HTTP/1.0 200 OK\r\n\r\n";
  const Bytes body = pattern(kDirLimit - head.size()), ok = concat({from_string(head), body});
  auto dir = [](Bytes response) -> Service {
    return [response](RelaySide& relay) {
      std::string request;
      while (request.find("\r\n\r\n") == std::string::npos)
        request += util::to_string_lossy(relay.recv().cell.data);
      EXPECT_EQ(request, directory::directory_request_text("/tor/hs/3/AAAA", "10.0.0.7"));
      relay.serve_data(1, 1, response), relay.send(1, kRelayEnd, 1, {});
    };
  };
  const Service over = dir(concat({ok, x}));
  const Service end = [](RelaySide& r) { r.send(1, kRelayEnd, 1, {}); };
  const Service chatter = [](RelaySide& r) { r.chatter(); };
  constexpr const char* kNoSendme = "timed out waiting for SENDME";
  constexpr const char* kReset = "onion service stream ended with reason 12";
  const struct {
    const char* name;
    Service service;
    Bytes out;
    const char* error;
    int uploaded = -1;  // DATA cells the service read; -1: no upload, -2: not known
    u64 limit = 1000;   // 0: no CONNECTED
    bool dir = false;   // BEGIN_DIR to the second hop, an ntor one, instead
  } kCases[] = {
      {"END before CONNECTED", end, {}, "onion service stream ended before CONNECTED", -1, 0},
      {"DESTROY before CONNECTED", destroy, {}, "rendezvous circuit destroyed", -1, 0},
      {"no CONNECTED on a busy link", chatter, {}, "timed out waiting for CONNECTED", -1, 0},
      {"limit equals the response", serve, response, "", -1, response.size()},
      {"one byte under", serve, {}, "stream response too large", -1, response.size() - 1},
      {"cells slower in all than the time-out", trickle(x), from_string("xxxxxxxxxx"), ""},
      {"empty DATA cells renew no wait", trickle({}), {}, "timed out waiting for DATA"},
      {"nothing on a busy link", chatter, {}, "timed out waiting for DATA"},
      {"authenticated SENDMEs", upload(kV1, true, 1200, {6}), x, "", 1200},
      {"version 0 SENDMEs", upload(kV0, true, 1200, {}), x, "", 1200},
      {"no circuit SENDME", upload(kNone, true, 0, {}), {}, kNoSendme, 1000},
      {"no stream SENDME", upload(kV1, false, 0, {}), {}, kNoSendme, 500},
      // The client hangs up with SENDMEs unread: the reset loses the count.
      {"wrong digest", upload(kWrongDigest, true, 0, {}), {}, "circuit SENDME digest mismatch", -2},
      {"answer and END while sending waits", upload(kV1, false, 500, {6}), x, "", 500},
      {"END reason while sending waits", upload(kV1, false, 500, {12}), {}, kReset, 500},
      {"BEGIN_DIR: END", end, {}, "BEGIN_DIR rejected by hsdir7", -1, 0, true},
      {"BEGIN_DIR: 8 MiB", dir(ok), body, "", -1, kDirLimit, true},
      {"BEGIN_DIR: 8 MiB + 1", over, {}, "BEGIN_DIR response too large", -1, kDirLimit, true},
      // Each cell within the time-out of the last, but not the whole stream.
      {"BEGIN_DIR: a byte at a time", trickle(x), {}, "timed out waiting for DATA", -1, 1000, true},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    received.clear();
    // The guard at hop 0, the service at hop 1. Before CONNECTED, skipped:
    // other streams, DATA, a body the service hop does not recognize.
    const Bytes k = crypto::random_bytes(128);
    RelayKeys hsdir("hsdir7");
    hsdir.relay.address = "10.0.0.7";
    Peer peer([&](Conn& conn) {
      RelaySide relay{conn};
      c.dir ? relay.create_fast().extend(hsdir) : relay.create_fast().add_hop(k, 32, true);
      relay.expect(1, c.dir ? kRelayBeginDir : kRelayBegin, 1,
                   from_string(c.dir ? "" : std::string(":443\0", 5)));
      relay.send(1, kRelayEnd, 2, {}), relay.send(1, kRelayData, 1, from_string("early"));
      relay.send_garbage();
      if (c.limit) relay.send(1, kRelayConnected, 1, {});
      c.service(relay);
      conn.wait_closed();
    });
    const ByteView v(k), up = c.uploaded == -1 ? ByteView() : ByteView(payload);
    const auto start = now();
    const i32 timeout_ms = c.limit == kDirLimit ? 5000 : c.uploaded == -1 ? kTimeoutMs : 1000;
    circuit::Circuit circ = open_circuit(peer, timeout_ms);
    Bytes out;
    EXPECT_EQ(error_of([&] {
                if (c.dir)
                  return circ.extend_ntor(hsdir.relay),
                         void(out = begin_dir_get(circ, hsdir.relay, "/tor/hs/3/AAAA"));
                RendezvousStream stream(std::move(circ), {v.first(32), v.subspan(32, 32),
                                                          v.subspan(64, 32), v.subspan(96), true});
                stream.begin(1, 443), out = stream.exchange(1, up, c.limit);
              }),
              c.error);
    EXPECT_EQ(out, c.out);
    EXPECT_LT(now() - start, ms(timeout_ms + 1000));
    if (c.uploaded < 0) continue;
    EXPECT_EQ(received, Bytes(payload.begin(), payload.begin() + c.uploaded * 498));
  }
}

// The only relay is guard and rendezvous point (a one-hop circuit) and the only
// introduction point: refused before a second link (the peer takes one only).
TEST(ConnectOnionService, FailuresAtTheOnlyRelay) {
  Peer peer([&](Conn& conn) {
    RelaySide relay{conn};
    const auto got = relay.create_fast().recv();
    EXPECT_EQ(std::tuple(got.hop, got.cell.command, got.cell.stream_id, got.cell.data.size()),
              std::tuple(0u, kRelayEstablishRendezvous, 0, 20u));
    relay.send(0, kRelayData, 1, from_string("stray"));
    relay.send(0, circuit::kRelayRendezvousEstablished, 0, {});
    conn.wait_closed();
  });
  const RelayKeys rp("rp", peer.port());
  const directory::Consensus consensus{.relays = {rp.relay}};
  const HiddenServiceDescriptor desc{{{directory::relay_link_specifiers(rp.relay), rp.b, {}, {}}}};
  directory::Relay unusable = RelayKeys("unusable").relay;  // left out as guard
  unusable.ntor_onion_key.clear();
  EXPECT_EQ(rendezvous_guard_list({unusable}, consensus.relays).size(), 1u);
  EXPECT_EQ(
      error_of([&] { connect_onion_service_with_retries({}, consensus, desc, {}, {unusable}); }),
      "all rendezvous attempts failed: all introduction points failed: "
      "intro point is the guard");
}

// Two relays that hang up: each point is tried through the other.
TEST(ConnectOnionService, EveryAttemptFailsThenTheLastFailureWrapped) {
  std::atomic<int> links = 0;
  auto hang_up = [&](Conn& c) { ++links, ::shutdown(c.fd, SHUT_WR), c.wait_closed(); };
  Peer a(hang_up, false), b(hang_up, false);
  const directory::Consensus consensus{
      .relays = {RelayKeys("A", a.port()).relay, RelayKeys("B", b.port()).relay}};
  EXPECT_EQ(error_of([&] { connect_onion_service_with_retries({}, consensus, {}, {}, {}); }),
            "all rendezvous attempts failed: tls handshake eof");
  EXPECT_EQ(links.load(), 2);
}

}  // namespace
}  // namespace mistgrove_core::hs
