// The SENDME window rule of read loops, and RendezvousStream against the
// in-process peer playing the guard and the onion service's end-to-end hop.
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
using circuit::kRelaySendme;

// A read loop's circuit as a list of cells. The acknowledged hop's digest is
// 32 bytes of the number of cells handed out so far, so a SENDME shows after
// which cell it read the digest. Sends are written down as "S<stream>" (empty
// stream SENDME) or "C<digest byte>" (version-1 circuit SENDME).
struct ScriptedIo {
  std::vector<RelayCell> cells;
  std::size_t next = 0;
  std::string sent;

  void add(u16 stream_id, u8 command, std::size_t len = 0, int times = 1) {
    for (int i = 0; i < times; ++i) cells.push_back({Bytes(len, 0x5a), stream_id, command});
  }
  StreamIo io() {
    return {
        [](std::string_view awaited) {
          return circuit::Wait{awaited, std::chrono::steady_clock::now()};
        },
        [this](const circuit::Wait&) {
          if (next == cells.size()) throw error::err("script ended");
          return cells[next++];
        },
        [this](u16 stream_id, ByteView data) {
          const bool v1 = data.size() == 23 && data[0] == 1 && data[1] == 0 && data[2] == 20;
          sent += sent.empty() ? "" : " ";
          if (stream_id != 0) sent += data.empty() ? "S" + std::to_string(stream_id) : "S+data";
          if (stream_id == 0) sent += v1 ? "C" + std::to_string(data[3]) : "C malformed";
        },
        [this] { return Bytes(32, static_cast<u8>(next)); },
    };
  }
};

TEST(ReadStreamUntilEnd, WindowsLimitAndSkippedCells) {
  struct Case {
    const char* name;
    std::function<void(ScriptedIo&)> cells;
    u64 limit;
    std::size_t length;
    const char* sends;
    const char* error;
  } const kCases[] = {
      {"END first", [](ScriptedIo& s) { s.add(1, kRelayEnd); }, 0, 0, "", ""},
      {"49 cells", [](ScriptedIo& s) { s.add(1, kRelayData, 10, 49), s.add(1, kRelayEnd); }, 1000,
       490, "", ""},
      {"100th cell: circuit SENDME first, with the digest after that cell",
       [](ScriptedIo& s) { s.add(1, kRelayData, 10, 100), s.add(1, kRelayEnd); }, 1000, 1000,
       "S1 C100 S1", ""},
      {"limit plus one fails after the cell's SENDMEs",
       [](ScriptedIo& s) { s.add(1, kRelayData, 10, 100), s.add(1, kRelayEnd); }, 999, 0,
       "S1 C100 S1", "too big"},
      {"other streams, stream 0 and other commands do not count",
       [](ScriptedIo& s) {
         s.add(1, kRelayConnected), s.add(0, kRelaySendme), s.add(2, kRelayEnd);
         for (int i = 0; i < 100; ++i) s.add(1, kRelayData, 1), s.add(2, kRelayData, 1);
         s.add(1, kRelaySendme), s.add(1, kRelayEnd);
       },
       100, 100, "S1 C202 S1", ""},
      {"empty DATA cells count",
       [](ScriptedIo& s) { s.add(1, kRelayData, 0, 50), s.add(1, kRelayEnd); }, 0, 0, "S1", ""},
      {"no END", [](ScriptedIo& s) { s.add(1, kRelayData, 1); }, 10, 0, "", "script ended"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    ScriptedIo script;
    c.cells(script);
    Bytes out;
    EXPECT_EQ(error_of([&] { out = read_stream_until_end(script.io(), 1, c.limit, "too big"); }),
              c.error);
    EXPECT_EQ(out.size(), c.length);
    EXPECT_EQ(script.sent, c.sends);
  }
}

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

TEST(RendezvousStream, SendDataCutsCellsOf498Bytes) {
  struct Case {
    std::size_t size;
    std::vector<std::size_t> cells;
  } const kCases[] = {{0, {}}, {499, {498, 1}}, {996, {498, 498}}};
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.size);
    const Bytes data = pattern(c.size);
    Bytes received;
    std::vector<std::size_t> cells;
    with_stream(
        [&](RelaySide& relay) {
          // Stream 2 marks the end of what the client sent.
          for (auto got = relay.recv(); got.cell.stream_id == 1; got = relay.recv()) {
            EXPECT_EQ(std::tie(got.hop, got.cell.command), std::tuple(1u, kRelayData));
            cells.push_back(got.cell.data.size());
            received.insert(received.end(), got.cell.data.begin(), got.cell.data.end());
          }
        },
        [&](RendezvousStream& stream) {
          stream.send_data(1, data);
          stream.send_data(2, Bytes{1});
        });
    EXPECT_EQ(cells, c.cells);
    EXPECT_EQ(received, data);
  }
}

TEST(RendezvousStream, ReadUntilEnd) {
  const Bytes response = pattern(100 * 498);
  constexpr i32 kTimeoutMs = 300;
  // Each DATA cell is followed by cells the read must skip; they move the
  // service hop's digest, so the circuit SENDME shows when the client read it.
  auto serve = [&](RelaySide& relay) {
    EXPECT_EQ(relay.serve_data(1, 1, response,
                               [&] {
                                 relay.send(1, kRelayData, 2, from_string("other stream"));
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
