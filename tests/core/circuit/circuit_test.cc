// Circuits against an in-process peer that plays every relay of the path:
// CREATE_FAST, EXTEND2/ntor, relay cells through the hops, raw bodies, and
// the cells a client must skip or refuse.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <optional>

#include "circuit/relay_side.h"

namespace mistgrove_core::circuit {
namespace {

using namespace mistgrove_core::circuit::testing;
using mistgrove_test::error_of;

TEST(Circuit, CreateFastCarriesCellsBothWaysAndAuthenticatesSendme) {
  Peer peer([](Conn& conn) {
    RelaySide relay(conn);
    relay.create_fast();
    auto got = relay.recv();
    EXPECT_EQ(got.cell.command, kRelayData);
    EXPECT_EQ(got.cell.stream_id, 7);
    EXPECT_EQ(got.cell.data, util::from_string("ping"));
    relay.send(0, kRelayData, 7, util::from_string("pong"));
    Bytes digest = relay.hops[0].forward_digest.current();
    got = relay.recv();
    EXPECT_EQ(got.cell.command, kRelaySendme);
    EXPECT_EQ(got.cell.stream_id, 0);
    EXPECT_EQ(got.cell.data, concat({Bytes{1, 0, 20}, ByteView(digest).first(20)}));
  });
  Circuit circ = open_circuit(peer);
  EXPECT_EQ(circ.circ_id() & 0x80000000u, 0x80000000u);
  EXPECT_EQ(circ.hop_count(), 1u);
  circ.send_relay_cell(tor::kCellRelay, 0, kRelayData, 7, util::from_string("ping"));
  RelayCell cell = next_cell(circ);
  EXPECT_EQ(cell.command, kRelayData);
  EXPECT_EQ(cell.stream_id, 7);
  EXPECT_EQ(cell.data, util::from_string("pong"));
  circ.send_relay_cell(tor::kCellRelay, 0, kRelaySendme, 0,
                       sendme_v1_data(circ.backward_digest(0)));
}

TEST(Circuit, CreateFastFailures) {
  struct Case {
    RelaySide::Reply reply;
    const char* error;
  } const kCases[] = {
      {RelaySide::Reply::kDestroy, "CREATE_FAST was destroyed"},
      {RelaySide::Reply::kOther, "unexpected cell while waiting for CREATED_FAST"},
      {RelaySide::Reply::kBadKeyHash, "CREATE_FAST key hash mismatch"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.error);
    bool closed = false;
    {
      Peer peer([&](Conn& conn) {
        RelaySide(conn).create_fast(c.reply);
        conn.wait_closed();
        closed = true;
      });
      EXPECT_EQ(error_of([&] { open_circuit(peer); }), c.error);
    }
    EXPECT_TRUE(closed);
  }
}

TEST(Circuit, ExtendsHopByHopAndTalksToEachHop) {
  RelayKeys middle, exit;
  Peer peer([&](Conn& conn) {
    RelaySide relay(conn);
    relay.create_fast();
    relay.extend(middle);
    relay.extend(exit);
    auto got = relay.recv();
    EXPECT_EQ(got.hop, 2u);
    EXPECT_EQ(got.cell.data, util::from_string("to exit"));
    relay.send(1, kRelayData, 3, util::from_string("from middle"));
    relay.send(2, kRelayData, 4, util::from_string("from exit"));
  });
  Circuit circ = open_circuit(peer);
  circ.extend_ntor(middle.relay);
  circ.extend_ntor(exit.relay);
  ASSERT_EQ(circ.hop_count(), 3u);
  circ.send_relay_cell(tor::kCellRelay, 2, kRelayData, 1, util::from_string("to exit"));
  EXPECT_EQ(next_cell(circ).data, util::from_string("from middle"));
  EXPECT_EQ(next_cell(circ).data, util::from_string("from exit"));
}

TEST(Circuit, ExtendedTwoHandling) {
  // Each case edits the honest EXTENDED2 data (HLEN 64 | Y | AUTH) or what
  // the relay sends around it.
  struct Case {
    const char* name;
    std::function<void(RelaySide&, Bytes&)> edit;
    const char* error;
  } const kCases[] = {
      {"honest", [](RelaySide&, Bytes&) {}, ""},
      {"HLEN 100 with 100 bytes", [](RelaySide&, Bytes& d) { d[1] = 100, d.resize(102, 7); }, ""},
      {"other relay cell first",
       [](RelaySide& r, Bytes&) { r.send(0, kRelayData, 1, util::from_string("x")); }, ""},
      {"one byte", [](RelaySide&, Bytes& d) { d.resize(1); }, "short EXTENDED2 body"},
      {"HLEN 64 with 50 bytes", [](RelaySide&, Bytes& d) { d.resize(52); },
       "truncated EXTENDED2 handshake"},
      {"HLEN 40 with 40 bytes", [](RelaySide&, Bytes& d) { d[1] = 40, d.resize(42); },
       "short ntor CREATED2 data"},
      {"flipped AUTH bit", [](RelaySide&, Bytes& d) { d[40] ^= 0x10; }, "ntor auth mismatch"},
      {"all-zero Y", [](RelaySide&, Bytes& d) { std::fill(d.begin() + 2, d.begin() + 34, 0); },
       "ntor shared secret is all zero"},
      {"DESTROY", [](RelaySide& r, Bytes&) { r.conn.write_cell(r.circ_id, tor::kCellDestroy, {}); },
       "circuit destroyed"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    RelayKeys next;
    Peer peer([&](Conn& conn) {
      RelaySide relay(conn);
      relay.create_fast();
      Bytes data = relay.answer_extend2(next);
      c.edit(relay, data);
      relay.send(0, kRelayExtended2, 0, data);
      if (*c.error) return conn.wait_closed();
      relay.send(1, kRelayData, 9, util::from_string("new hop"));
    });
    Circuit circ = open_circuit(peer);
    EXPECT_EQ(error_of([&] { circ.extend_ntor(next.relay); }), c.error);
    EXPECT_EQ(circ.hop_count(), *c.error ? 1u : 2u);
    if (!*c.error) {
      EXPECT_EQ(next_cell(circ).data, util::from_string("new hop"));
    }
  }
}

TEST(Circuit, NtorNeedsIdentityAndKey) {
  struct Case {
    std::size_t id_len, key_len;
    const char* error;
  } const kCases[] = {
      {19, 32, "relay missing RSA identity for ntor"},
      {20, 31, "relay missing ntor key"},
      {0, 0, "relay missing RSA identity for ntor"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.error);
    directory::Relay relay;
    relay.rsa_identity = Bytes(c.id_len, 1);
    relay.ntor_onion_key = Bytes(c.key_len, 2);
    NtorState state;
    EXPECT_EQ(error_of([&] { build_ntor_onionskin(relay, state); }), c.error);
  }
}

TEST(Circuit, NtorRefusesSmallOrderRelayKey) {
  directory::Relay relay;
  relay.rsa_identity = Bytes(20, 1);
  relay.ntor_onion_key = Bytes(32, 0);  // u = 0 has order 4
  NtorState state;
  EXPECT_EQ(build_ntor_onionskin(relay, state).size(), 84u);
  Bytes hdata = crypto::x25519_public_from_private(crypto::random_bytes(32));
  hdata.resize(64, 5);
  EXPECT_EQ(error_of([&] { finish_ntor(state, hdata); }), "ntor shared secret is all zero");
}

TEST(Circuit, SendRelayCellRefusesWithoutSpendingKeystream) {
  Peer peer([](Conn& conn) {
    RelaySide relay(conn);
    relay.create_fast();
    EXPECT_EQ(relay.recv().cell.data, Bytes(498, 4));
  });
  Circuit circ = open_circuit(peer);
  EXPECT_EQ(error_of([&] { circ.send_relay_cell(tor::kCellRelay, 1, kRelayData, 1, {}); }),
            "bad hop index");
  EXPECT_EQ(error_of([&] { circ.backward_digest(1); }), "bad hop index");
  EXPECT_EQ(
      error_of([&] { circ.send_relay_cell(tor::kCellRelay, 0, kRelayData, 1, Bytes(499, 4)); }),
      "relay payload too large");
  circ.send_relay_cell(tor::kCellRelay, 0, kRelayData, 1, Bytes(498, 4));
}

TEST(Circuit, RecvRelaySkipsUnrecognizedAndFailsOnBadLengthAndDestroy) {
  RelayKeys next;
  Peer peer([&](Conn& conn) {
    RelaySide relay(conn);
    relay.create_fast();
    relay.extend(next);
    conn.write_cell(relay.circ_id ^ 1, tor::kCellRelay, {});  // another circuit
    conn.write_cell(relay.circ_id, 0, {});                    // padding
    // Recognized only if both hops moved their keystreams past the garbage
    // and kept their digests.
    relay.send_garbage();
    relay.send(1, kRelayData, 2, util::from_string("after garbage"));
    // Recognized at hop 0, with a length field of 499.
    Bytes body(509, 0);
    body[0] = kRelayData;
    body[9] = 499 >> 8, body[10] = 499 & 0xff;
    relay.hops[0].forward_digest.update(body);
    Bytes digest = relay.hops[0].forward_digest.current();
    std::copy(digest.begin(), digest.begin() + 4, body.begin() + 5);
    relay.send_body(0, relay.hops[0].forward.apply(body));
    conn.write_cell(relay.circ_id, tor::kCellDestroy, {});
    conn.wait_closed();
  });
  Circuit circ = open_circuit(peer);
  circ.extend_ntor(next.relay);
  EXPECT_EQ(next_cell(circ).data, util::from_string("after garbage"));
  EXPECT_EQ(error_of([&] { next_cell(circ); }), "relay length too large");
  EXPECT_EQ(error_of([&] { next_cell(circ); }), "circuit destroyed");
}

TEST(Circuit, RawBodiesCrossEveryLayer) {
  RelayKeys next;
  Bytes up = crypto::random_bytes(509), down = crypto::random_bytes(509);
  Peer peer([&](Conn& conn) {
    RelaySide relay(conn);
    relay.create_fast();
    relay.extend(next);
    Cell c = conn.read_cell();
    for (RelayCrypto& hop : relay.hops) hop.backward.apply_in_place(c.body);
    EXPECT_EQ(c.body, up);
    Bytes body = down;
    for (std::size_t i = relay.hops.size(); i-- > 0;) relay.hops[i].forward.apply_in_place(body);
    conn.write_cell(relay.circ_id, tor::kCellRelay, body);
    conn.write_cell(relay.circ_id, tor::kCellDestroy, {});
    conn.wait_closed();
  });
  Circuit circ = open_circuit(peer);
  circ.extend_ntor(next.relay);
  Bytes digest = circ.backward_digest(1);
  EXPECT_EQ(error_of([&] { circ.send_raw_body(Bytes(508, 0)); }),
            "raw relay body must be one cell body");
  circ.send_raw_body(up);
  EXPECT_EQ(circ.recv_raw_body(circ.wait_for("DATA")), down);
  EXPECT_EQ(circ.backward_digest(1), digest);
  EXPECT_EQ(error_of([&] { circ.recv_raw_body(circ.wait_for("DATA")); }),
            "rendezvous circuit destroyed");
}

TEST(Circuit, ParseRelayBody) {
  auto body = [](std::size_t size, u16 len) {
    Bytes b(size, 0xee);
    b[0] = kRelayEnd, b[3] = 0x12, b[4] = 0x34, b[9] = len >> 8, b[10] = len & 0xff;
    return b;
  };
  struct Case {
    const char* name;
    Bytes body;
    const char* error;
    std::size_t data_len;
  } const kCases[] = {
      {"508 bytes", body(508, 0), "bad relay body", 0},
      {"length 499", body(509, 499), "relay length too large", 0},
      {"length 498", body(509, 498), "", 498},
      {"length 0", body(509, 0), "", 0},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    std::optional<RelayCell> cell;
    EXPECT_EQ(error_of([&] { cell = parse_relay_body(c.body); }), c.error);
    if (!cell) continue;
    EXPECT_EQ(cell->command, kRelayEnd);
    EXPECT_EQ(cell->stream_id, 0x1234);
    EXPECT_EQ(cell->data, Bytes(c.data_len, 0xee));
  }
}

TEST(Circuit, StalledRelayFailsWithinTheTimeout) {
  Peer peer([](Conn& conn) {
    RelaySide(conn).create_fast();
    conn.wait_closed();  // reads the client's cell, never answers
  });
  Circuit circ = open_circuit(peer, 300);
  auto start = std::chrono::steady_clock::now();
  circ.send_relay_cell(tor::kCellRelay, 0, kRelayBeginDir, 1, {});
  EXPECT_EQ(error_of([&] { next_cell(circ); }), "Resource temporarily unavailable (os error 11)");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

// The relay keeps the link busy with padding, cells of another circuit and
// DATA cells nobody awaits, so no socket time-out fires: only the wait's own
// deadline ends it.
TEST(Circuit, EveryWaitEndsAtItsDeadlineWhileTheRelayChatters) {
  constexpr i32 kTimeoutMs = 300;
  RelayKeys next;
  struct Case {
    const char* awaited;
    std::function<void(RelaySide&)> relay;
    std::function<void(const Peer&)> client;
  } const kCases[] = {
      {"CREATED_FAST", [](RelaySide& r) { r.create_fast(RelaySide::Reply::kNone); },
       [](const Peer& peer) { open_circuit(peer, kTimeoutMs); }},
      {"EXTENDED2",
       [](RelaySide& r) {
         r.create_fast();
         r.recv();
       },
       [&](const Peer& peer) { open_circuit(peer, kTimeoutMs).extend_ntor(next.relay); }},
      {"RENDEZVOUS2", [](RelaySide& r) { r.create_fast(); },
       [](const Peer& peer) {
         open_circuit(peer, kTimeoutMs).recv_command(kRelayRendezvous2, "RENDEZVOUS2");
       }},
      {"DATA", [](RelaySide& r) { r.create_fast(); },
       [](const Peer& peer) {
         // A caller that discards every body it gets, all within one wait.
         Circuit circ = open_circuit(peer, kTimeoutMs);
         const Wait wait = circ.wait_for("DATA");
         for (;;) circ.recv_raw_body(wait);
       }},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.awaited);
    Peer peer([&](Conn& conn) {
      RelaySide relay(conn);
      c.relay(relay);
      relay.chatter();
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(error_of([&] { c.client(peer); }), std::string("timed out waiting for ") + c.awaited);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(kTimeoutMs));
    EXPECT_LT(elapsed, std::chrono::milliseconds(kTimeoutMs + 700));
  }
}

}  // namespace
}  // namespace mistgrove_core::circuit
