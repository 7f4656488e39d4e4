// The relays' side of a circuit for tests against the in-process peer of
// tor/fake_relay.h: CREATE_FAST and EXTEND2/ntor answers, relay cells layered
// through the hops both ways. A test may push further hops (an onion
// service's end-to-end hop) onto `hops`.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "mistgrove_core/circuit.h"
#include "mistgrove_core/error.h"
#include "tor/fake_relay.h"

namespace mistgrove_core::circuit::testing {

using crypto::RelayCrypto;
using fake_relay::Conn;
using fake_relay::Peer;
using tor::Cell;

using util::concat;
using util::text_bytes;

inline Bytes copy(ByteView b) { return Bytes(b.begin(), b.end()); }
inline Bytes slice(ByteView b, std::size_t off, std::size_t len) {
  return copy(b.subspan(off, len));
}

// A relay the client extends to: its identity, its ntor key pair, its record.
struct RelayKeys {
  Bytes b = crypto::random_bytes(32);
  directory::Relay relay;
  RelayKeys() {
    relay.nickname = "fake";
    relay.address = "127.0.0.1";
    relay.or_port = 9001;
    relay.rsa_identity = crypto::random_bytes(20);
    relay.ed25519_id = crypto::x25519_public_from_private(crypto::random_bytes(32));
    relay.ntor_onion_key = crypto::x25519_public_from_private(b);
  }
};

// The relays' side of the circuit. The relay's hop crypto is the client's
// with directions swapped: it sends with (Db, Kb) and receives with (Df, Kf).
struct RelaySide {
  explicit RelaySide(Conn& c) : conn(c) {}
  Conn& conn;
  u32 circ_id = 0;
  std::vector<RelayCrypto> hops;

  void add_hop(ByteView df, ByteView db, ByteView kf, ByteView kb) {
    hops.emplace_back(db, df, kb, kf, false);
  }

  enum class Reply { kCreated, kBadKeyHash, kDestroy, kOther, kNone };
  // Link handshake, then the answer to CREATE_FAST, after a padding cell and
  // a cell of another circuit that the client must skip (kNone: no answer).
  void create_fast(Reply reply = Reply::kCreated) {
    conn.link_handshake();
    Cell create = conn.read_cell();
    EXPECT_EQ(create.command, tor::kCellCreateFast);
    circ_id = create.circ_id;
    conn.write_cell(0, 0, {});
    conn.write_cell(circ_id ^ 1, tor::kCellDestroy, {});
    if (reply == Reply::kDestroy) return conn.write_cell(circ_id, tor::kCellDestroy, {});
    if (reply == Reply::kOther) return conn.write_cell(circ_id, tor::kCellRelay, {});
    if (reply == Reply::kNone) return;
    Bytes y = crypto::random_bytes(20);
    Bytes k = crypto::kdf_tor(concat({ByteView(create.body).first(20), y}), 92);
    if (reply == Reply::kBadKeyHash) k[0] ^= 1;
    conn.write_cell(circ_id, tor::kCellCreatedFast, concat({y, ByteView(k).first(20)}));
    add_hop(slice(k, 20, 20), slice(k, 40, 20), slice(k, 60, 16), slice(k, 76, 16));
  }

  void send(std::size_t hop, u8 command, u16 stream_id, ByteView data) {
    send_body(hop, hops[hop].encrypt_relay(command, stream_id, data));
  }
  // A body no hop recognizes, through every hop's layer.
  void send_garbage() {
    send_body(hops.size() - 1, hops.back().forward.apply(crypto::random_bytes(509)));
  }
  // Adds the layers of the hops before `hop` to a body already encrypted there.
  void send_body(std::size_t hop, Bytes body) {
    for (std::size_t i = hop; i-- > 0;) hops[i].forward.apply_in_place(body);
    conn.write_cell(circ_id, tor::kCellRelay, body);
  }

  struct Received {
    std::size_t hop;
    RelayCell cell;
    u8 link_command;
  };
  Received recv() {
    Cell c = conn.read_cell();
    EXPECT_EQ(c.circ_id, circ_id);
    for (std::size_t i = 0; i < hops.size(); ++i) {
      hops[i].backward.apply_in_place(c.body);
      if (hops[i].recognize_decrypted(c.body)) return {i, parse_relay_body(c.body), c.command};
    }
    throw std::runtime_error("no hop recognized the client's cell");
  }

  // Reads the EXTEND2, adds the new hop and returns the EXTENDED2 data
  // (HLEN | Y | AUTH) of an honest answer.
  Bytes answer_extend2(const RelayKeys& keys) {
    Received got = recv();
    EXPECT_EQ(got.link_command, tor::kCellRelayEarly);
    EXPECT_EQ(got.hop, hops.size() - 1);
    EXPECT_EQ(got.cell.command, kRelayExtend2);
    util::ByteReader r(got.cell.data);
    for (u8 n = r.read_u8("count"); n > 0; --n) {
      r.read_u8("type");
      r.read_bytes(r.read_u8("len"), "spec");
    }
    EXPECT_EQ(r.read_u16("htype"), 2);
    EXPECT_EQ(r.read_u16("hlen"), 84);
    EXPECT_EQ(copy(r.read_bytes(20, "id")), keys.relay.rsa_identity);
    EXPECT_EQ(copy(r.read_bytes(32, "B")), keys.relay.ntor_onion_key);
    ByteView x_pub = r.read_bytes(32, "X");

    Bytes y = crypto::random_bytes(32), y_pub = crypto::x25519_public_from_private(y);
    ByteView id = keys.relay.rsa_identity, b_pub = keys.relay.ntor_onion_key;
    ByteView proto = text_bytes("ntor-curve25519-sha256-1");
    Bytes secret_input =
        concat({crypto::x25519_shared(y, x_pub), crypto::x25519_shared(keys.b, x_pub), id, b_pub,
                x_pub, y_pub, proto});
    Bytes seed =
        crypto::hmac_sha256(text_bytes("ntor-curve25519-sha256-1:key_extract"), secret_input);
    Bytes verify = crypto::hmac_sha256(text_bytes("ntor-curve25519-sha256-1:verify"), secret_input);
    Bytes auth =
        crypto::hmac_sha256(text_bytes("ntor-curve25519-sha256-1:mac"),
                            concat({verify, id, b_pub, y_pub, x_pub, proto, text_bytes("Server")}));
    Bytes k = crypto::hkdf_sha256_expand(seed);
    add_hop(slice(k, 0, 20), slice(k, 20, 20), slice(k, 40, 16), slice(k, 56, 16));
    return concat({Bytes{0, 64}, y_pub, auth});
  }
  void extend(const RelayKeys& keys) {
    Bytes reply = answer_extend2(keys);
    send(hops.size() - 2, kRelayExtended2, 0, reply);
  }

  // Keeps the link busy and never answers: every 20 ms a padding cell, a
  // cell of another circuit and, once there is a hop, a DATA cell on stream 9
  // from the last hop, until the client hangs up.
  void chatter() {
    for (;;) {
      conn.write_cell(0, 0, {});
      conn.write_cell(circ_id ^ 1, tor::kCellRelay, {});
      if (!hops.empty()) send(hops.size() - 1, kRelayData, 9, text_bytes("chatter"));
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
};

inline Circuit open_circuit(const Peer& peer, i32 timeout_ms = 5000) {
  return Circuit::create_fast(tor::TorChannel::open("127.0.0.1", peer.port(), timeout_ms),
                              timeout_ms);
}

// The next relay cell, within a wait of the circuit's time-out.
inline RelayCell next_cell(Circuit& circ) { return circ.recv_relay(circ.wait_for("DATA")); }

}  // namespace mistgrove_core::circuit::testing
