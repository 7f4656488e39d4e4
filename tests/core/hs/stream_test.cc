// RendezvousStream against the in-process peer playing the guard and the
// onion service's end-to-end hop: BEGIN, the read loop under the SENDME
// window rule, the END reasons, and sending within the package windows.
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

// DATA "x", then END with `reason` (none if empty).
Service answer_then_end(Bytes reason) {
  return [reason](RelaySide& relay) {
    relay.send(1, kRelayData, 1, from_string("x"));
    relay.send(1, kRelayEnd, 1, reason);
  };
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
      {"empty DATA cells renew no wait",
       [](RelaySide& relay) {
         for (;;) {
           std::this_thread::sleep_for(std::chrono::milliseconds(kTimeoutMs / 3));
           relay.send(1, kRelayData, 1, {});
         }
       },
       1000,
       {},
       "timed out waiting for DATA"},
      {"END reason DONE", answer_then_end({6}), 1000, from_string("x"), ""},
      {"END reason MISC", answer_then_end({1}), 1000, {},
       "onion service stream ended with reason 1"},
      {"END reason CONNRESET", answer_then_end({12, 0}), 1000, {},
       "onion service stream ended with reason 12"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const auto start = std::chrono::steady_clock::now();
    with_stream(
        c.service,
        [&](RendezvousStream& stream) {
          Bytes out;
          EXPECT_EQ(error_of([&] { out = stream.exchange(1, {}, c.limit); }), c.error);
          EXPECT_EQ(out, c.out);
        },
        kTimeoutMs);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
  }
}

// The service reads the upload and acknowledges it as configured; once it has
// read `answer_at` DATA cells it answers "x" and ends the stream.
TEST(RendezvousStream, SendsWithinThePackageWindows) {
  enum Ack { kNone, kV0, kV1, kWrongDigest };
  struct Case {
    const char* name;
    Ack circuit_acks;
    bool stream_acks;
    int answer_at;  // DATA cells read before the answer; 0: never
    Bytes end;      // the END's reason
    int received;   // DATA cells the service read; -1: not known
    const char* error;
  } const kCases[] = {
      {"authenticated SENDMEs", kV1, true, 1200, {6}, 1200, ""},
      {"version 0 SENDMEs", kV0, true, 1200, {}, 1200, ""},
      {"no circuit SENDME: stops at 1000", kNone, true, 0, {}, 1000,
       "timed out waiting for SENDME"},
      {"no stream SENDME: stops at 500", kV1, false, 0, {}, 500, "timed out waiting for SENDME"},
      // The client hangs up with SENDMEs unread: the reset loses the count.
      {"digest of another cell", kWrongDigest, true, 0, {}, -1, "circuit SENDME digest mismatch"},
      {"answer and END while sending waits", kV1, false, 500, {6}, 500, ""},
      {"END reason while sending waits", kV1, false, 500, {12}, 500,
       "onion service stream ended with reason 12"},
  };
  const Bytes payload = pattern(1200 * 498);
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    Bytes received;
    with_stream(
        [&](RelaySide& relay) {
          for (int cells = 0; c.answer_at == 0 || cells < c.answer_at;) {
            const auto got = relay.recv();
            if (got.cell.command != kRelayData) continue;
            received.insert(received.end(), got.cell.data.begin(), got.cell.data.end());
            Bytes digest = relay.hops[1].backward_digest.current();
            digest.resize(20);
            if (++cells % 50 == 0 && c.stream_acks) relay.send(1, circuit::kRelaySendme, 1, {});
            if (cells % 100 != 0 || c.circuit_acks == kNone) continue;
            if (c.circuit_acks == kWrongDigest) digest[19] ^= 1;
            relay.send(1, circuit::kRelaySendme, 0,
                       c.circuit_acks == kV0 ? Bytes{0, 0, 0} : concat({Bytes{1, 0, 20}, digest}));
          }
          answer_then_end(c.end)(relay);
        },
        [&](RendezvousStream& stream) {
          Bytes out;
          EXPECT_EQ(error_of([&] { out = stream.exchange(1, payload, 1000); }), c.error);
          EXPECT_EQ(out, *c.error ? Bytes{} : from_string("x"));
        },
        1000);
    if (c.received >= 0)
      EXPECT_EQ(received, Bytes(payload.begin(), payload.begin() + c.received * 498));
  }
}

}  // namespace
}  // namespace mistgrove_core::hs
