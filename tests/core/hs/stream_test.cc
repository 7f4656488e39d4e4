// Streams against the in-process peer: to the service's end-to-end hop (BEGIN,
// the SENDME rules, END reasons), BEGIN_DIR, and failed rendezvous.
#include <gtest/gtest.h>

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

TEST(RendezvousStream, BeginAndExchangeUnderTheWindows) {
  const Bytes response = pattern(100 * 498), payload = pattern(1200 * 498);
  // Cells that neither count nor end the read follow each DATA cell and move
  // the digest, so the circuit SENDME shows when the client read it.
  auto serve = [&](RelaySide& r) {
    auto between = [&] {
      r.send(1, kRelayData, 2, from_string("other stream")), r.send(1, kRelayEnd, 0, {});
      r.send(1, kRelaySendme, 1, {}), r.send_garbage();
    };
    EXPECT_EQ(r.serve_data(1, response, between), 3);
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
  Bytes received;
  auto upload = [&](std::string acks, bool stream_acks, int answer_at, std::string end) -> Service {
    return [=, &received, end = mistgrove_test::hex(end)](RelaySide& relay) {
      for (int cells = 0; answer_at == 0 || cells < answer_at;) {
        const auto got = relay.recv();
        if (got.cell.command != kRelayData) continue;
        received.insert(received.end(), got.cell.data.begin(), got.cell.data.end());
        Bytes digest = relay.hops[1].backward_digest.current();
        digest.resize(20), digest[19] ^= acks == "wrong";
        if (++cells % 50 == 0 && stream_acks) relay.send(1, kRelaySendme, 1, {});
        if (cells % 100 == 0 && acks != "none")
          relay.send(1, kRelaySendme, 0,
                     acks == "v0" ? Bytes{0, 0, 0} : concat({Bytes{1, 0, 20}, digest}));
      }
      relay.send(1, kRelayData, 1, from_string("x")), relay.send(1, kRelayEnd, 1, end);
    };
  };
  // BEGIN_DIR: the request read, `response` served, then END with `end` as its
  // data. One deadline for the whole stream, and a limit of its own.
  constexpr std::size_t kDirLimit = 8 * 1024 * 1024;
  const std::string head = "HTTP/1.0 200 OK\r\n\r\n";
  const Bytes body = pattern(kDirLimit - head.size()), ok = concat({from_string(head), body});
  auto dir = [](Bytes response, Bytes end = {}) -> Service {
    return [response, end](RelaySide& relay) {
      std::string request;
      while (request.find("\r\n\r\n") == std::string::npos)
        request += util::to_string_lossy(relay.recv().cell.data);
      EXPECT_EQ(request, directory::directory_request_text("/tor/hs/3/AAAA", "10.0.0.7"));
      relay.serve_data(1, response), relay.send(1, kRelayEnd, 1, end);
    };
  };
  const std::map<std::string, Service> services{
      {"serve", serve},
      {"end", [](RelaySide& r) { r.send(1, kRelayEnd, 1, {}); }},
      {"destroy", destroy},
      {"chatter", [](RelaySide& r) { r.chatter(); }},
      {"dir+x", dir(concat({ok, from_string("x")}))}};
  const std::map<std::string, Bytes> outputs{{"response", response}, {"body", body}};
  for (const auto& c : mistgrove_test::load_records("stream_cases.txt")) {
    SCOPED_TRACE(c.text(1));
    received.clear();
    std::istringstream spec(c.text(2));
    std::string kind, acks, reason;
    int stream_acks = 0, answer_at = 0;
    spec >> kind >> acks >> stream_acks >> answer_at >> reason;
    const Service service = kind == "trickle"  ? trickle(mistgrove_test::hex(acks))
                            : kind == "upload" ? upload(acks, stream_acks, answer_at, reason)
                            : kind == "dir"    ? dir(ok, mistgrove_test::hex(acks))
                                               : services.at(kind);
    const bool dir = c.text(1).starts_with("BEGIN_DIR");
    const u64 limit = c.number(3);
    const int uploaded = std::stoi(c.text(4));
    // The guard at hop 0, the service at hop 1. Before CONNECTED, skipped:
    // other streams, DATA, a body the service hop does not recognize.
    const Bytes k = crypto::random_bytes(128);
    RelayKeys hsdir("hsdir7");
    hsdir.relay.address = "10.0.0.7";
    Peer peer([&](Conn& conn) {
      RelaySide relay{conn};
      dir ? relay.create_fast().extend(hsdir) : relay.create_fast().add_hop(k, 32, true);
      relay.expect(1, dir ? kRelayBeginDir : kRelayBegin, 1,
                   from_string(dir ? "" : std::string(":443\0", 5)));
      relay.send(1, kRelayEnd, 2, {}), relay.send(1, kRelayData, 1, from_string("early"));
      relay.send_garbage();
      if (limit) relay.send(1, kRelayConnected, 1, {});
      service(relay);
      conn.wait_closed();
    });
    const ByteView v(k), up = uploaded == -1 ? ByteView() : ByteView(payload);
    const auto start = std::chrono::steady_clock::now();
    const i32 timeout_ms = limit == kDirLimit ? 5000 : uploaded == -1 ? kTimeoutMs : 1000;
    circuit::Circuit circ = open_circuit(peer, timeout_ms);
    if (dir) circ.extend_ntor(hsdir.relay);
    Bytes out;
    EXPECT_EQ(error_of([&] {
                if (dir) return void(out = begin_dir_get(circ, hsdir.relay, "/tor/hs/3/AAAA"));
                RendezvousStream stream(std::move(circ), {v.first(32), v.subspan(32, 32),
                                                          v.subspan(64, 32), v.subspan(96), true});
                stream.begin(1, 443), out = stream.exchange(1, up, limit);
              }),
              c.last());
    EXPECT_EQ(out, outputs.contains(c.text(5)) ? outputs.at(c.text(5)) : from_string(c.text(5)));
    EXPECT_LT(std::chrono::steady_clock::now() - start, ms(timeout_ms + 1000));
    if (uploaded < 0) continue;
    EXPECT_EQ(received, Bytes(payload.begin(), payload.begin() + uploaded * 498));
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
  const RelayKeys rp("rp", peer.port);
  directory::Consensus consensus;
  consensus.relays = {rp.relay};
  const HiddenServiceDescriptor desc{{{directory::relay_link_specifiers(rp.relay), rp.b, {}, {}}}};
  directory::Relay unusable = RelayKeys("unusable").relay;  // left out as guard
  unusable.ntor_onion_key.clear();
  EXPECT_EQ(
      error_of([&] { connect_onion_service_with_retries({}, consensus, desc, {}, {unusable}); }),
      "all rendezvous attempts failed: all introduction points failed: intro point is the guard");
}

// Two relays that hang up: each point is tried through the other.
TEST(ConnectOnionService, EveryAttemptFailsThenTheLastFailureWrapped) {
  std::atomic<int> links = 0;
  auto hang_up = [&](Conn& c) { ++links, ::shutdown(c.fd, SHUT_WR), c.wait_closed(); };
  Peer a(hang_up, false), b(hang_up, false);
  directory::Consensus consensus;
  consensus.relays = {RelayKeys("A", a.port).relay, RelayKeys("B", b.port).relay};
  EXPECT_EQ(error_of([&] { connect_onion_service_with_retries({}, consensus, {}, {}, {}); }),
            "all rendezvous attempts failed: tls handshake eof");
  EXPECT_EQ(links.load(), 2);
}

}  // namespace
}  // namespace mistgrove_core::hs
