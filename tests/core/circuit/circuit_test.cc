// Circuits against the in-process peer playing every relay of the path.
#include <gtest/gtest.h>

#include "tor/fake_relay.h"

namespace mistgrove_core::circuit {
namespace {

using namespace mistgrove_core::fake;

constexpr const char* kZero = "ntor shared secret is all zero";

// CREATE_FAST answered with `reply`, then the honest EXTENDED2 data edited (if
// `edit`). Chatter or a drip fires no socket time-out: only the wait's deadline.
TEST(Circuit, CreateFastAndExtendTwo) {
  constexpr i32 kTimeoutMs = 300;
  auto keep = [](auto&, Bytes&) {};
  const struct {
    const char* name;
    std::function<void(RelaySide&, Bytes&)> edit;
    const char* error;
    u8 reply = tor::kCellCreatedFast;
    u8 flip = 0;          // XORed into CREATED_FAST's key hash
    bool zero_b = false;  // a relay key of small order (u = 0 has order 4)
    bool drip = false;
  } kCases[] = {
      {"honest", keep, ""},
      {"HLEN 100", [](auto&, Bytes& d) { d[1] = 100, d.resize(102, 7); }, ""},
      {"one byte", [](auto&, Bytes& d) { d.resize(1); }, "short EXTENDED2 body"},
      {"HLEN 64, 50 bytes", [](auto&, Bytes& d) { d.resize(52); }, "truncated EXTENDED2 handshake"},
      {"HLEN 40", [](auto&, Bytes& d) { d[1] = 40, d.resize(42); }, "short ntor CREATED2 data"},
      {"flipped AUTH bit", [](auto&, Bytes& d) { d[40] ^= 0x10; }, "ntor auth mismatch"},
      {"zero Y", [](auto&, Bytes& d) { std::fill_n(&d[2], 32, 0); }, kZero},
      {"zero B", keep, kZero, tor::kCellCreatedFast, 0, true},
      {"DESTROY", [](RelaySide& r, Bytes&) { destroy(r); }, "circuit destroyed"},
      {"DATA of length 499 first", [](RelaySide& r, Bytes&) { r.send_overlong(0, 1); },
       "relay length too large"},
      {"no EXTENDED2 on a busy link", nullptr, "timed out waiting for EXTENDED2"},
      {"DESTROY", nullptr, "CREATE_FAST was destroyed", tor::kCellDestroy},
      {"RELAY", nullptr, "unexpected cell while waiting for CREATED_FAST", tor::kCellRelay},
      {"bad key hash", nullptr, "CREATE_FAST key hash mismatch", tor::kCellCreatedFast, 1},
      {"no CREATED_FAST on a busy link", nullptr, "timed out waiting for CREATED_FAST", 0},
      {"a byte at a time", nullptr, "timed out waiting for CREATED_FAST", 0, 0, false, true},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    RelayKeys next;
    if (c.zero_b) next.relay.ntor_onion_key = Bytes(32, 0);
    Peer peer([&](Conn& conn) {
      RelaySide relay{conn};
      if (relay.create_fast(c.reply, c.flip); c.edit) {
        relay.extend(next, [&](Bytes& d) { c.edit(relay, d); });
        EXPECT_EQ(relay.recv().cell.data, Bytes(498, 4));
        // Recognized only if both hops' keystreams and digests moved past the garbage.
        conn.write_cell(relay.circ_id, 0, {}), relay.send_garbage();
        relay.send(1, kRelayData, 9, from_string("new hop"));
      }
      for (u8 byte = 0; c.drip;) conn.write({&byte, 1}), std::this_thread::sleep_for(ms(100));
      relay.chatter();
    });
    const auto start = std::chrono::steady_clock::now();
    std::optional<Circuit> circ;
    EXPECT_EQ(error_of([&] {
                circ.emplace(open_circuit(peer, kTimeoutMs)), circ->extend_ntor(next.relay);
                // A refused send leaves the hop's keystream and digest where they were.
                EXPECT_EQ(error_of([&] { circ->send_relay_cell(tor::kCellRelay, 2, 3, 1, {}); }),
                          "bad hop index");
                circ->send_relay_cell(tor::kCellRelay, 0, kRelayData, 1, Bytes(498, 4));
                EXPECT_EQ(circ->recv_relay(circ->wait_for("DATA")).data, from_string("new hop"));
              }),
              c.error);
    EXPECT_EQ(circ ? circ->hop_count() : 1u, *c.error ? 1u : 2u);  // no hop added on failure
    const auto elapsed = std::chrono::steady_clock::now() - start;
    const bool in_time = elapsed >= ms(kTimeoutMs) && elapsed < ms(kTimeoutMs + 700);
    EXPECT_TRUE(in_time || !std::string_view(c.error).starts_with("timed out")) << elapsed / ms(1);
  }
}

}  // namespace
}  // namespace mistgrove_core::circuit
