// Circuits over one relay link: the first hop with CREATE_FAST, further hops
// with EXTEND2 and ntor, and relay cells layered through the hops.
//
// Using a circuit (one thread at a time):
//   auto circ = Circuit::create_fast(TorChannel::open(host, port, timeout_ms), timeout_ms);
//   circ.extend_ntor(middle);  circ.extend_ntor(last);
//   std::size_t far = circ.hop_count() - 1;
//   circ.send_relay_cell(tor::kCellRelay, far, kRelayBeginDir, 1, {});
//   Wait wait = circ.wait_for("CONNECTED");
//   RelayCell cell = circ.recv_relay(wait);  // recognized at some hop
// Relays send padding on idle links, and a relay may send a cell a byte at a
// time, so socket time-outs alone never end a wait whose cell does not come:
// every wait has a deadline that bounds its reads.
// Flow control is the caller's: after the DATA cell that brings a circuit
// window to a multiple of 100, read `backward_digest(far)` before the next
// `recv_relay` and send `sendme_v1_data` of it on stream 0; stream-level
// SENDMEs carry no data.
#pragma once

#include <chrono>
#include <string_view>
#include <vector>

#include "mistgrove_core/crypto.h"
#include "mistgrove_core/directory.h"
#include "mistgrove_core/tor.h"

namespace mistgrove_core::circuit {

// Relay commands.
inline constexpr u8 kRelayBegin = 1;
inline constexpr u8 kRelayData = 2;
inline constexpr u8 kRelayEnd = 3;
inline constexpr u8 kRelayConnected = 4;
inline constexpr u8 kRelaySendme = 5;
inline constexpr u8 kRelayBeginDir = 13;
inline constexpr u8 kRelayEstablishRendezvous = 33;
inline constexpr u8 kRelayIntroduce1 = 34;
inline constexpr u8 kRelayRendezvous2 = 37;
inline constexpr u8 kRelayRendezvousEstablished = 39;
inline constexpr u8 kRelayIntroduceAck = 40;

using crypto::parse_relay_body;
using crypto::RelayCell;

// One wait for an awaited cell. Every cell read during it, awaited or
// discarded, is read whole by the deadline or the wait fails with "timed out
// waiting for {awaited}"; the circuit is then only fit to drop.
struct Wait {
  std::string_view awaited;  // the cell's name in capitals, e.g. "RENDEZVOUS2"
  std::chrono::steady_clock::time_point deadline;
};

class Circuit {
 public:
  // Takes over the channel; on failure the link is closed with it. Each wait
  // on the circuit, CREATED_FAST's included, lasts at most wait_timeout_ms.
  static Circuit create_fast(tor::TorChannel channel, i32 wait_timeout_ms);

  // Appends the relay as a new last hop (EXTEND2 in RELAY_EARLY, ntor). A
  // failure leaves the hops as they were.
  void extend_ntor(const directory::Relay& relay);

  // Builds a relay cell for hop `hop` (its digest and layer), adds the
  // forward layers of the hops before it and writes it with `link_command`
  // (tor::kCellRelay, or tor::kCellRelayEarly).
  void send_relay_cell(u8 link_command, std::size_t hop, u8 relay_command, u16 stream_id,
                       ByteView data);

  // A wait for `awaited` (a name in capitals) that starts now.
  Wait wait_for(std::string_view awaited) const;

  // The next relay cell of this circuit recognized at any hop. Cells of other
  // circuits, non-relay cells and bodies no hop recognizes are skipped; a
  // DESTROY fails with "circuit destroyed".
  RelayCell recv_relay(const Wait& wait);
  // The next recognized relay cell with `command`, others discarded, all
  // within one wait for `awaited`.
  RelayCell recv_command(u8 command, std::string_view awaited);

  // Whole 509-byte bodies through every hop's layer, for a hop kept outside
  // the circuit (the onion service's end-to-end hop): no circuit-hop digest
  // is read or changed.
  void send_raw_body(ByteView body);
  // The next RELAY body of this circuit within `wait`; DESTROY fails with
  // "rendezvous circuit destroyed".
  Bytes recv_raw_body(const Wait& wait);

  std::size_t hop_count() const { return hops_.size(); }
  u32 circ_id() const { return circ_id_; }
  // The hop's running backward digest (20 bytes) as it stands now, that is
  // right after the last cell recognized there: the proof an authenticated
  // circuit-level SENDME carries.
  Bytes backward_digest(std::size_t hop) const;
  // The hop's running forward digest as it stands now, right after the last
  // cell sent to it: what its authenticated SENDMEs must carry.
  Bytes forward_digest(std::size_t hop) const;

 private:
  Circuit(tor::TorChannel channel, crypto::RelayCrypto first_hop, u32 circ_id, i32 wait_timeout_ms);
  // The next RELAY cell of this circuit, still encrypted; DESTROY throws
  // `destroyed`.
  tor::Cell next_relay_cell(const Wait& wait, const char* destroyed);

  tor::TorChannel channel_;
  std::vector<crypto::RelayCrypto> hops_;
  u32 circ_id_;
  i32 wait_timeout_ms_;
};

// The data of a version-1 (authenticated) SENDME: 0x01, length 20, then the
// first 20 bytes of `digest` (20 or 32 bytes), the acknowledged hop's
// backward digest.
Bytes sendme_v1_data(ByteView digest);

}  // namespace mistgrove_core::circuit
