// Circuits against the in-process peer playing every relay of the path:
// CREATE_FAST, EXTEND2/ntor and their failures, the cells a client must skip
// or refuse, and waits that end at their deadline on a busy link.
#include <gtest/gtest.h>

#include "tor/fake_relay.h"

namespace mistgrove_core::circuit {
namespace {

using namespace mistgrove_core::fake;
using Reply = RelaySide::Reply;

RelayCell next_cell(Circuit& circ) { return circ.recv_relay(circ.wait_for("DATA")); }

// Each case edits the honest EXTENDED2 data or what the relay sends before it.
TEST(Circuit, ExtendedTwoHandling) {
  const struct {
    const char* name;
    std::function<void(RelaySide&, Bytes&)> edit;
    const char* error;
  } kCases[] = {
      {"honest", [](auto&, Bytes&) {}, ""},
      {"HLEN 100", [](auto&, Bytes& d) { d[1] = 100, d.resize(102, 7); }, ""},
      {"other cell first", [](auto& r, Bytes&) { r.send(0, kRelayData, 1, Bytes{1}); }, ""},
      {"one byte", [](auto&, Bytes& d) { d.resize(1); }, "short EXTENDED2 body"},
      {"HLEN 64, 50 bytes", [](auto&, Bytes& d) { d.resize(52); }, "truncated EXTENDED2 handshake"},
      {"HLEN 40", [](auto&, Bytes& d) { d[1] = 40, d.resize(42); }, "short ntor CREATED2 data"},
      {"flipped AUTH bit", [](auto&, Bytes& d) { d[40] ^= 0x10; }, "ntor auth mismatch"},
      {"zero Y", [](auto&, Bytes& d) { std::fill_n(&d[2], 32, 0); },
       "ntor shared secret is all zero"},
      {"DESTROY", [](RelaySide& r, Bytes&) { r.conn.write_cell(r.circ_id, tor::kCellDestroy, {}); },
       "circuit destroyed"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    RelayKeys next;
    Peer peer([&](Conn& conn) {
      RelaySide relay{conn};
      Bytes data = relay.create_fast().answer_extend2(next);
      c.edit(relay, data);
      relay.send(0, kRelayExtended2, 0, data);
      if (*c.error) return conn.wait_closed();
      relay.send(1, kRelayData, 9, from_string("new hop"));
    });
    Circuit circ = open_circuit(peer);
    EXPECT_EQ(error_of([&] { circ.extend_ntor(next.relay); }), c.error);
    EXPECT_EQ(circ.hop_count(), *c.error ? 1u : 2u);
    EXPECT_TRUE(*c.error || next_cell(circ).data == from_string("new hop"));
  }
  // A relay key of small order (u = 0 has order 4) makes EXP(B,x) all zero too.
  directory::Relay relay = RelayKeys().relay;
  relay.ntor_onion_key = Bytes(32, 0);
  NtorState state;
  build_ntor_onionskin(relay, state);
  const Bytes y =
      concat({crypto::x25519_public_from_private(crypto::random_bytes(32)), Bytes(32, 5)});
  EXPECT_EQ(error_of([&] { finish_ntor(state, y); }), "ntor shared secret is all zero");
}

TEST(Circuit, SkipsRefusesAndEndsOnDestroy) {
  RelayKeys next;
  Peer peer([&](Conn& conn) {
    RelaySide relay{conn};
    relay.create_fast().extend(next);
    EXPECT_EQ(relay.recv().cell.data, Bytes(498, 4));
    conn.write_cell(relay.circ_id ^ 1, tor::kCellRelay, {});  // another circuit
    conn.write_cell(relay.circ_id, 0, {});                    // padding
    // Recognized only if both hops moved their keystreams past the garbage
    // and kept their digests.
    relay.send_garbage(), relay.send(1, kRelayData, 2, from_string("after garbage"));
    relay.send_overlong(0, 1), conn.write_cell(relay.circ_id, tor::kCellDestroy, {});
    conn.wait_closed();
  });
  Circuit circ = open_circuit(peer);
  circ.extend_ntor(next.relay);
  // Refused sends leave the hop's keystream and digest where they were.
  EXPECT_EQ(error_of([&] { circ.send_relay_cell(tor::kCellRelay, 2, kRelayData, 1, {}); }),
            "bad hop index");
  EXPECT_EQ(
      error_of([&] { circ.send_relay_cell(tor::kCellRelay, 0, kRelayData, 1, Bytes(499, 4)); }),
      "relay payload too large");
  circ.send_relay_cell(tor::kCellRelay, 0, kRelayData, 1, Bytes(498, 4));
  EXPECT_EQ(next_cell(circ).data, from_string("after garbage"));
  EXPECT_EQ(error_of([&] { next_cell(circ); }), "relay length too large");
  EXPECT_EQ(error_of([&] { next_cell(circ); }), "circuit destroyed");
}

// CREATE_FAST's failures; then a relay that chatters or drips bytes, so that
// no socket time-out fires: only the wait's own deadline ends it.
TEST(Circuit, CreateFastFailuresAndWaitsEndingAtTheirDeadline) {
  constexpr i32 kTimeoutMs = 300;
  auto none = [](Circuit) {};
  const struct {
    const char* error;
    Reply reply;
    std::function<void(Circuit)> client;
    bool drip = false;
  } kCases[] = {
      {"CREATE_FAST was destroyed", Reply::kDestroy, none},
      {"unexpected cell while waiting for CREATED_FAST", Reply::kOther, none},
      {"CREATE_FAST key hash mismatch", Reply::kBadKeyHash, none},
      {"timed out waiting for CREATED_FAST", Reply::kNone, none},
      // As EXTENDED2 is awaited.
      {"timed out waiting for RENDEZVOUS2", Reply::kCreated,
       [](Circuit c) { c.recv_command(kRelayRendezvous2, "RENDEZVOUS2"); }},
      // A caller that discards every body it gets, all within one wait.
      {"timed out waiting for DATA", Reply::kCreated,
       [](Circuit c) {
         for (const Wait wait = c.wait_for("DATA");;) c.recv_raw_body(wait);
       }},
      {"timed out waiting for CREATED_FAST", Reply::kNone, none, true},
      {"timed out waiting for DATA", Reply::kCreated, [](Circuit c) { next_cell(c); }, true},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.error + std::string(c.drip ? ", drip" : ""));
    Peer peer([&](Conn& conn) {
      RelaySide relay{conn};
      relay.create_fast(c.reply);
      for (u8 byte = 0; c.drip;)
        conn.write({&byte, 1}), std::this_thread::sleep_for(ms(kTimeoutMs / 3));
      relay.chatter();
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(error_of([&] { c.client(open_circuit(peer, kTimeoutMs)); }), c.error);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    if (!std::string_view(c.error).starts_with("timed out")) continue;
    EXPECT_GE(elapsed, ms(kTimeoutMs));
    EXPECT_LT(elapsed, ms(kTimeoutMs + 700));
  }
}

}  // namespace
}  // namespace mistgrove_core::circuit
