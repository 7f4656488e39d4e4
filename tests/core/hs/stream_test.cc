// RendezvousStream against the in-process peer playing the guard and the
// onion service's end-to-end hop: BEGIN, and the read loop under the SENDME
// window rule.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <tuple>

#include "mistgrove_core/hs.h"
#include "tor/fake_relay.h"

namespace mistgrove_core::hs {
namespace {

using namespace mistgrove_core::fake;
using circuit::kRelayConnected;
using circuit::kRelayData;
using circuit::kRelayEnd;

using Service = std::function<void(RelaySide&)>;

// Runs `service` as the peer (guard at hop 0, the service at hop 1) and
// `client` on a RendezvousStream over it.
void with_stream(const Service& service, const std::function<void(RendezvousStream&)>& client,
                 i32 timeout_ms = 5000) {
  const Bytes k = crypto::random_bytes(128);
  Peer peer([&](Conn& conn) {
    RelaySide relay(conn);
    relay.create_fast();
    relay.add_hop(k, 32, true);
    service(relay);
    conn.wait_closed();
  });
  const ByteView v(k);
  RendezvousStream stream(open_circuit(peer, timeout_ms),
                          {v.first(32), v.subspan(32, 32), v.subspan(64, 32), v.subspan(96), true});
  client(stream);
}

void destroy(RelaySide& relay) { relay.conn.write_cell(relay.circ_id, tor::kCellDestroy, {}); }

TEST(RendezvousStream, BeginWaitsForConnectedOfItsStream) {
  struct Case {
    const char* name;
    Service answer;
    const char* error;
  } const kCases[] = {
      {"CONNECTED", [](RelaySide& r) { r.send(1, kRelayConnected, 3, {}); }, ""},
      {"END", [](RelaySide& r) { r.send(1, kRelayEnd, 3, {}); },
       "onion service stream ended before CONNECTED"},
      {"DESTROY", destroy, "rendezvous circuit destroyed"},
      {"nothing on a busy link", [](RelaySide& r) { r.chatter(); },
       "timed out waiting for CONNECTED"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const auto start = std::chrono::steady_clock::now();
    with_stream(
        [&](RelaySide& relay) {
          auto got = relay.recv();
          EXPECT_EQ(std::tie(got.hop, got.cell.command, got.cell.stream_id, got.cell.data),
                    std::tuple(1u, circuit::kRelayBegin, 3, from_string(std::string(":443\0", 5))));
          // Skipped: other streams, DATA before CONNECTED, a body the service
          // hop does not recognize.
          relay.send(1, kRelayEnd, 2, {});
          relay.send(1, kRelayData, 3, from_string("early"));
          relay.send_garbage();
          c.answer(relay);
          relay.send(1, kRelayData, 3, from_string("after"));
        },
        [&](RendezvousStream& stream) {
          EXPECT_EQ(error_of([&] { stream.begin(3, 443); }), c.error);
          if (!*c.error) {
            EXPECT_EQ(stream.recv_hs(stream.circuit.wait_for("DATA")).data, from_string("after"));
          }
        },
        500);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
  }
}

TEST(RendezvousStream, ReadUntilEnd) {
  const Bytes response = pattern(100 * 498);
  constexpr i32 kTimeoutMs = 300;
  // Each DATA cell is followed by cells that neither count nor end the read;
  // they move the service hop's digest, so the circuit SENDME shows when the
  // client read it.
  auto serve = [&](RelaySide& relay) {
    EXPECT_EQ(relay.serve_data(1, 1, response,
                               [&] {
                                 relay.send(1, kRelayData, 2, from_string("other stream"));
                                 relay.send(1, kRelayEnd, 0, {});
                                 relay.send(1, circuit::kRelaySendme, 1, {});
                                 relay.send_garbage();
                               }),
              3);
    relay.send(1, kRelayEnd, 1, {});
  };
  struct Case {
    const char* name;
    Service service;
    u64 limit;
    Bytes out;
    const char* error;
  } const kCases[] = {
      {"limit equals the response", serve, response.size(), response, ""},
      {"one byte under the response", serve, response.size() - 1, {}, "stream response too large"},
      {"cells slower in all than the time-out",
       [](RelaySide& relay) {
         for (int i = 0; i < 10; ++i) {
           std::this_thread::sleep_for(std::chrono::milliseconds(kTimeoutMs / 3));
           relay.send(1, kRelayData, 1, from_string("x"));
         }
         relay.send(1, kRelayEnd, 1, {});
       },
       1000, from_string("xxxxxxxxxx"), ""},
      {"relay length 499",
       [](RelaySide& relay) { relay.send_overlong(1, 1); },
       1000,
       {},
       "relay length too large"},
      {"nothing on a busy link",
       [](RelaySide& relay) { relay.chatter(); },
       1000,
       {},
       "timed out waiting for DATA"},
      {"DESTROY", destroy, 1000, {}, "rendezvous circuit destroyed"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    with_stream(
        c.service,
        [&](RendezvousStream& stream) {
          Bytes out;
          EXPECT_EQ(error_of([&] { out = stream.read_until_end(1, c.limit); }), c.error);
          EXPECT_EQ(out, c.out);
        },
        kTimeoutMs);
  }
}

}  // namespace
}  // namespace mistgrove_core::hs
