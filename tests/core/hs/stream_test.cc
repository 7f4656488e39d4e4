// The SENDME window rule of read loops, and RendezvousStream against an
// in-process peer that plays the guard and the onion service's end-to-end hop.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "hs/stream_peer.h"
#include "mistgrove_core/error.h"
#include "mistgrove_core/hs.h"

namespace mistgrove_core::hs {
namespace {

using circuit::RelayCell;
using circuit::testing::Conn;
using circuit::testing::open_circuit;
using circuit::testing::Peer;
using circuit::testing::RelaySide;
using mistgrove_test::error_of;
using testing::pattern;
using testing::serve_data;

// A read loop's circuit as a script of cells. The acknowledged hop's digest
// is 32 bytes of the number of cells handed out so far, so a SENDME shows
// after which cell it read the digest. Sends are written down as "S<stream>"
// (empty stream SENDME) or "C<digest byte>" (version-1 circuit SENDME).
// Waits are numbered in the order they start; `waits` has one entry per cell
// handed out: the name and number of the wait it was read in.
struct Script {
  std::vector<RelayCell> cells;
  std::size_t next = 0;
  std::vector<std::string> sent;
  int waits_started = 0;
  std::vector<std::string> waits;

  void add(u16 stream_id, u8 command, std::size_t len = 0, int times = 1) {
    for (int i = 0; i < times; ++i) cells.push_back({Bytes(len, 0x5a), stream_id, command});
  }
  StreamIo io() {
    return {
        [this](std::string_view awaited) {
          using Clock = std::chrono::steady_clock;
          return circuit::Wait{awaited, Clock::time_point(Clock::duration(++waits_started))};
        },
        [this](const circuit::Wait& wait) {
          if (next == cells.size()) throw error::err("script ended");
          waits.push_back(
              fmt::format("{}#{}", wait.awaited, wait.deadline.time_since_epoch().count()));
          return cells[next++];
        },
        [this](u16 stream_id, ByteView data) {
          if (stream_id != 0) {
            sent.push_back(data.empty() ? "S" + std::to_string(stream_id) : "S with data");
          } else if (data.size() == 23 && data[0] == 1 && data[1] == 0 && data[2] == 20) {
            sent.push_back("C" + std::to_string(data[3]));
          } else {
            sent.push_back("C malformed");
          }
        },
        [this] { return Bytes(32, static_cast<u8>(next)); },
    };
  }
  std::string sends() const {
    std::string out;
    for (const std::string& s : sent) out += (out.empty() ? "" : " ") + s;
    return out;
  }
};

TEST(ReadStreamUntilEnd, WindowsLimitAndSkippedCells) {
  using circuit::kRelayConnected;
  using circuit::kRelayData;
  using circuit::kRelayEnd;
  using circuit::kRelaySendme;
  struct Case {
    const char* name;
    std::function<void(Script&)> cells;
    u64 limit;
    std::size_t length;
    const char* sends;
    const char* error;
  } const kCases[] = {
      {"END first", [](Script& s) { s.add(1, kRelayEnd); }, 0, 0, "", ""},
      {"49 cells", [](Script& s) { s.add(1, kRelayData, 10, 49), s.add(1, kRelayEnd); }, 1000, 490,
       "", ""},
      {"50th cell: stream SENDME only",
       [](Script& s) { s.add(1, kRelayData, 10, 50), s.add(1, kRelayEnd); }, 1000, 500, "S1", ""},
      {"100th cell: circuit SENDME first, with the digest after that cell",
       [](Script& s) { s.add(1, kRelayData, 10, 100), s.add(1, kRelayEnd); }, 1000, 1000,
       "S1 C100 S1", ""},
      {"limit plus one fails after the cell's SENDMEs",
       [](Script& s) { s.add(1, kRelayData, 10, 100), s.add(1, kRelayEnd); }, 999, 0, "S1 C100 S1",
       "too big"},
      {"first cell over the limit", [](Script& s) { s.add(1, kRelayData, 10); }, 9, 0, "",
       "too big"},
      {"other streams, stream 0 and other commands do not count",
       [](Script& s) {
         s.add(1, kRelayConnected), s.add(0, kRelaySendme), s.add(2, kRelayEnd);
         for (int i = 0; i < 100; ++i) s.add(1, kRelayData, 1), s.add(2, kRelayData, 1);
         s.add(1, kRelaySendme), s.add(1, kRelayEnd);
       },
       100, 100, "S1 C202 S1", ""},
      {"empty DATA cells count",
       [](Script& s) { s.add(1, kRelayData, 0, 50), s.add(1, kRelayEnd); }, 0, 0, "S1", ""},
      {"no END", [](Script& s) { s.add(1, kRelayData, 1); }, 10, 0, "", "script ended"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    Script script;
    c.cells(script);
    Bytes out;
    EXPECT_EQ(error_of([&] { out = read_stream_until_end(script.io(), 1, c.limit, "too big"); }),
              c.error);
    EXPECT_EQ(out.size(), c.length);
    EXPECT_EQ(script.sends(), c.sends);
  }
}

TEST(ReadStreamUntilEnd, EachDataCellOfTheStreamStartsANewWait) {
  Script script;
  script.add(2, circuit::kRelayData, 1);
  script.add(1, circuit::kRelayConnected);
  script.add(1, circuit::kRelayData, 1);
  script.add(0, circuit::kRelaySendme);
  script.add(1, circuit::kRelayData, 1);
  script.add(1, circuit::kRelayEnd);
  EXPECT_EQ(read_stream_until_end(script.io(), 1, 10, "too big").size(), 2u);
  const std::vector<std::string> expected = {"DATA#1", "DATA#1", "DATA#1",
                                             "DATA#2", "DATA#2", "DATA#3"};
  EXPECT_EQ(script.waits, expected);
}

// The client's end-to-end hop and the peer's copy of it (directions swapped).
struct HsKeys {
  Bytes df = crypto::random_bytes(32), db = crypto::random_bytes(32);
  Bytes kf = crypto::random_bytes(32), kb = crypto::random_bytes(32);
  crypto::RelayCrypto client() const { return {df, db, kf, kb, true}; }
  void add_service_hop(RelaySide& relay) const { relay.hops.emplace_back(db, df, kb, kf, true); }
};

// Runs `service` as the peer (guard at hop 0, the service at hop 1) and
// `client` on a RendezvousStream over it.
void with_stream(const std::function<void(RelaySide&)>& service,
                 const std::function<void(RendezvousStream&)>& client, i32 timeout_ms = 5000) {
  HsKeys keys;
  Peer peer([&](Conn& conn) {
    RelaySide relay(conn);
    relay.create_fast();
    keys.add_service_hop(relay);
    service(relay);
    conn.wait_closed();
  });
  RendezvousStream stream(open_circuit(peer, timeout_ms), keys.client());
  client(stream);
}

TEST(RendezvousStream, BeginWaitsForConnectedOfItsStream) {
  struct Case {
    const char* name;
    u8 answer;
    const char* error;
  } const kCases[] = {
      {"CONNECTED", circuit::kRelayConnected, ""},
      {"END", circuit::kRelayEnd, "onion service stream ended before CONNECTED"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    with_stream(
        [&](RelaySide& relay) {
          auto got = relay.recv();
          EXPECT_EQ(got.hop, 1u);
          EXPECT_EQ(got.cell.command, circuit::kRelayBegin);
          EXPECT_EQ(got.cell.stream_id, 3);
          EXPECT_EQ(got.cell.data, (Bytes{0x3a, 0x34, 0x34, 0x33, 0x00}));
          // Skipped: other streams, other commands, a body the service hop
          // does not recognize.
          relay.send(1, circuit::kRelayEnd, 2, {});
          relay.send(1, circuit::kRelayData, 3, util::from_string("early"));
          relay.send_garbage();
          relay.send(1, c.answer, 3, {});
          relay.send(1, circuit::kRelayData, 3, util::from_string("after"));
        },
        [&](RendezvousStream& stream) {
          EXPECT_EQ(error_of([&] { stream.begin(3, 443); }), c.error);
          if (!*c.error) {
            EXPECT_EQ(stream.recv_hs(stream.circuit.wait_for("DATA")).data,
                      util::from_string("after"));
          }
        });
  }
}

TEST(RendezvousStream, SendDataCutsCellsOf498Bytes) {
  struct Case {
    std::size_t size;
    std::vector<std::size_t> cells;
  } const kCases[] = {{0, {}}, {498, {498}}, {499, {498, 1}}, {996, {498, 498}}};
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.size);
    const Bytes data = pattern(c.size);
    Bytes received;
    std::vector<std::size_t> cells;
    with_stream(
        [&](RelaySide& relay) {
          // Stream 2 marks the end of what the client sent.
          for (auto got = relay.recv(); got.cell.stream_id == 1; got = relay.recv()) {
            EXPECT_EQ(got.hop, 1u);
            EXPECT_EQ(got.cell.command, circuit::kRelayData);
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

TEST(RendezvousStream, ReadUntilEndSendsAuthenticatedSendmes) {
  const Bytes response = pattern(100 * 498);
  struct Case {
    const char* name;
    u64 limit;
    const char* error;
  } const kCases[] = {
      {"limit equals the response", response.size(), ""},
      {"one byte under the response", response.size() - 1, "stream response too large"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    testing::ServedData served;
    with_stream(
        [&](RelaySide& relay) {
          // Each DATA cell is followed by cells the read must skip; they move
          // the service hop's digest, so the circuit SENDME shows when the
          // client read it.
          served = serve_data(relay, 1, 1, response, [&](testing::Batch& batch) {
            batch.cell(1, circuit::kRelayData, 2, util::from_string("other stream"));
            batch.garbage();
          });
          relay.send(1, circuit::kRelayEnd, 1, {});
        },
        [&](RendezvousStream& stream) {
          Bytes out;
          EXPECT_EQ(error_of([&] { out = stream.read_until_end(1, c.limit); }), c.error);
          if (!*c.error) {
            EXPECT_EQ(out, response);
          }
        });
    EXPECT_EQ(served.circuit_sendmes, 1);
    EXPECT_EQ(served.stream_sendmes, 2);
  }
}

TEST(RendezvousStream, WaitsEndAtTheirDeadlinesWhileTheServiceChatters) {
  constexpr i32 kTimeoutMs = 300;
  struct Case {
    const char* error;
    std::function<void(RendezvousStream&)> client;
  } const kCases[] = {
      {"timed out waiting for CONNECTED", [](RendezvousStream& s) { s.begin(1, 80); }},
      {"timed out waiting for DATA", [](RendezvousStream& s) { s.read_until_end(1, 1000); }},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.error);
    const auto start = std::chrono::steady_clock::now();
    with_stream(
        [](RelaySide& relay) { relay.chatter(); },
        [&](RendezvousStream& stream) { EXPECT_EQ(error_of([&] { c.client(stream); }), c.error); },
        kTimeoutMs);
    EXPECT_LT(std::chrono::steady_clock::now() - start,
              std::chrono::milliseconds(kTimeoutMs + 700));
  }
}

TEST(RendezvousStream, ReadUntilEndBoundsEachCellNotTheWholeResponse) {
  // Ten cells 100 ms apart: the response takes three times the time-out.
  with_stream(
      [](RelaySide& relay) {
        for (int i = 0; i < 10; ++i) {
          std::this_thread::sleep_for(std::chrono::milliseconds(100));
          relay.send(1, circuit::kRelayData, 1, util::from_string("x"));
        }
        relay.send(1, circuit::kRelayEnd, 1, {});
      },
      [](RendezvousStream& stream) {
        EXPECT_EQ(stream.read_until_end(1, 1000), util::from_string("xxxxxxxxxx"));
      },
      300);
}

TEST(RendezvousStream, RelayLengthOverTheCellFails) {
  with_stream(
      [](RelaySide& relay) {
        // Recognized at the service hop, with a length field of 499.
        Bytes body(509, 0);
        body[0] = circuit::kRelayData;
        body[4] = 1;
        body[9] = 499 >> 8, body[10] = 499 & 0xff;
        crypto::RelayCrypto& service = relay.hops[1];
        service.forward_digest.update(body);
        Bytes digest = service.forward_digest.current();
        std::copy(digest.begin(), digest.begin() + 4, body.begin() + 5);
        relay.send_body(1, service.forward.apply(body));
      },
      [](RendezvousStream& stream) {
        EXPECT_EQ(error_of([&] { stream.read_until_end(1, 1000); }), "relay length too large");
      });
}

}  // namespace
}  // namespace mistgrove_core::hs
