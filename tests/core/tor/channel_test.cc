// TorChannel against an in-process peer: version choice, the cells before
// NETINFO, cell framing both ways, and TLS/transport failures.
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>

#include "mistgrove_core/error.h"
#include "tor/fake_relay.h"

namespace mistgrove_core::tor {
namespace {

using fake_relay::Conn;
using fake_relay::Peer;

const Bytes kClientVersions = {0, 0, 7, 0, 4, 0, 4, 0, 5};

struct Outcome {
  int version = 0;
  std::string error;
};

Outcome open_against(fake_relay::Script script, Peer::Mode mode = Peer::Mode::kTls,
                     i32 timeout_ms = 5000) {
  Peer peer(std::move(script), mode);
  Outcome out;
  try {
    out.version = TorChannel::open("127.0.0.1", peer.port(), timeout_ms).link_version();
  } catch (const error::Error& e) {
    out.error = e.what();
  }
  return out;
}

Bytes relay_versions(const Bytes& list) {
  util::ByteWriter w;
  w.put_u16(0);
  w.put_u8(kCellVersions);
  w.put_u16(static_cast<u16>(list.size()));
  w.put_bytes(list);
  return w.take();
}

TEST(TorChannel, ChoosesHighestOfFourAndFive) {
  struct Case {
    const char* name;
    Bytes list;
    int version;
    const char* error;
  } const kCases[] = {
      {"3, 4, 5", {0, 3, 0, 4, 0, 5}, 5, ""},
      {"4 only", {0, 4}, 4, ""},
      {"5 then 4", {0, 5, 0, 4}, 5, ""},
      {"4 and an odd byte", {0, 4, 0}, 4, ""},
      {"3 and 6", {0, 3, 0, 6}, 0, "relay does not support link protocol 4+"},
      {"empty", {}, 0, "relay does not support link protocol 4+"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    Outcome out = open_against([&](Conn& peer) {
      EXPECT_EQ(peer.read(9), kClientVersions);
      peer.write(relay_versions(c.list));
      peer.write_cell(0, 129, Bytes(10, 1));  // CERTS, AUTH_CHALLENGE: never read
      peer.write_cell(0, 130, Bytes(36, 2));
      peer.write_cell(0, kCellNetinfo, {});
      Cell netinfo = peer.read_cell();
      EXPECT_EQ(netinfo.circ_id, 0u);
      EXPECT_EQ(netinfo.command, kCellNetinfo);
      EXPECT_NEAR(util::read_u32(netinfo.body, 0), std::time(nullptr), 60);
      Bytes rest(netinfo.body.begin() + 4, netinfo.body.end());
      Bytes expected(505, 0);
      expected[0] = expected[1] = 4;  // IPv4, 4 bytes of 0.0.0.0, no own address
      EXPECT_EQ(rest, expected);
    });
    EXPECT_EQ(out.error, c.error);
    EXPECT_EQ(out.version, c.version);
  }
}

TEST(TorChannel, ReadsAtMostSixteenCellsBeforeNetinfo) {
  struct Case {
    const char* name;
    int padding;
    bool versions_first;
    const char* error;
  } const kCases[] = {
      {"15 padding cells", 15, true, ""},
      {"16 padding cells", 16, true, "relay did not send NETINFO"},
      {"NETINFO before VERSIONS", 0, false, "first Tor cell was not VERSIONS"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    Outcome out = open_against([&](Conn& peer) {
      peer.read(9);
      if (!c.versions_first) {
        Bytes netinfo = {0, 0, kCellNetinfo};  // as a 2-byte-id cell
        netinfo.resize(3 + kCellBodyLen, 0);
        peer.write(netinfo);
      }
      peer.write(relay_versions({0, 4}));
      for (int i = 0; i < c.padding; ++i) peer.write_cell(0, 128, Bytes(3, 0));
      peer.write_cell(0, kCellNetinfo, {});
      peer.wait_closed();
    });
    EXPECT_EQ(out.error, c.error);
  }
}

TEST(TorChannel, FramesCellsItWrites) {
  struct Case {
    const char* name;
    u32 circ_id;
    u8 command;
    Bytes body;
    const char* error;
  } const kCases[] = {
      {"full fixed body", 0x80000001, kCellRelay, Bytes(509, 0xab), ""},
      {"fixed body too large", 0x80000001, kCellRelay, Bytes(510, 0xab),
       "fixed cell body too large"},
      {"empty fixed body", 0x80000002, kCellCreateFast, {}, ""},
      {"variable length", 7, 128, {1, 2, 3}, ""},
  };
  Bytes expected;
  for (const Case& c : kCases) {
    if (*c.error) continue;
    util::ByteWriter w;
    w.put_u32(c.circ_id);
    w.put_u8(c.command);
    if (c.command >= 128) w.put_u16(static_cast<u16>(c.body.size()));
    w.put_bytes(c.body);
    Bytes frame = w.take();
    if (c.command < 128) frame.resize(514, 0);
    expected.insert(expected.end(), frame.begin(), frame.end());
  }
  Peer peer([&](Conn& conn) {
    conn.link_handshake();
    EXPECT_EQ(conn.read(expected.size()), expected);
  });
  TorChannel channel = TorChannel::open("127.0.0.1", peer.port(), 5000);
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    std::string error;
    try {
      channel.write_cell(c.circ_id, c.command, c.body);
    } catch (const error::Error& e) {
      error = e.what();
    }
    EXPECT_EQ(error, c.error);
  }
}

TEST(TorChannel, ReadsWholeCellsOnly) {
  Peer peer([](Conn& conn) {
    conn.link_handshake();
    conn.write_cell(5, 129, {});
    conn.write_cell(6, kCellRelay, Bytes(509, 9));
    conn.write(Bytes(5 + 100, 3));  // a RELAY cell cut short, then hang up
  });
  TorChannel channel = TorChannel::open("127.0.0.1", peer.port(), 5000);
  Cell empty = channel.read_cell_with_circ_len(4);
  EXPECT_EQ(empty.circ_id, 5u);
  EXPECT_EQ(empty.command, 129);
  EXPECT_TRUE(empty.body.empty());
  Cell relay = channel.read_cell_with_circ_len(4);
  EXPECT_EQ(relay.command, kCellRelay);
  EXPECT_EQ(relay.body, Bytes(509, 9));
  try {
    channel.read_cell_with_circ_len(4);
    FAIL() << "a cut cell was returned";
  } catch (const error::Error& e) {
    EXPECT_STREQ(e.what(), "failed to fill whole buffer");
  }
}

TEST(TorChannel, FailsOnPeersThatAreNotRelays) {
  using namespace std::chrono;
  struct Case {
    const char* name;
    fake_relay::Script script;
    Peer::Mode mode;
    const char* error;
  } const kCases[] = {
      {"plain HTTP server",
       [](Conn& c) {
         c.read(5);
         c.write(util::from_string("HTTP/1.0 400 Bad request\r\n\r\n"));
       },
       Peer::Mode::kPlain, "wrong version number"},
      {"hang-up during the handshake",
       [](Conn& c) {
         c.hang_up();
         c.wait_closed();
       },
       Peer::Mode::kPlain, "tls handshake eof"},
      {"silent after accept", [](Conn& c) { c.wait_closed(); }, Peer::Mode::kPlain,
       "Resource temporarily unavailable (os error 11)"},
      {"silent after TLS", [](Conn& c) { c.wait_closed(); }, Peer::Mode::kTls,
       "Resource temporarily unavailable (os error 11)"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    auto start = steady_clock::now();
    Outcome out = open_against(c.script, c.mode, 400);
    EXPECT_EQ(out.error, c.error);
    EXPECT_LT(steady_clock::now() - start, seconds(3));
  }
}

}  // namespace
}  // namespace mistgrove_core::tor
