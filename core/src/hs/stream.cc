// The stream layer of a rendezvous circuit: the end-to-end hop to the onion
// service, BEGIN/DATA/END, and the SENDME window rule that every read loop
// (this stream and the descriptor fetch's BEGIN_DIR stream) follows.
#include <fmt/format.h>

#include "mistgrove_core/error.h"
#include "mistgrove_core/hs.h"
#include "mistgrove_core/log.h"
#include "stream_steps.h"

namespace mistgrove_core::hs {
namespace {

using error::err;

constexpr std::string_view kLog = "mistgrove_core::hs";

constexpr i32 kCircuitWindowFloor = 900;
constexpr i32 kStreamWindowFloor = 450;
constexpr i32 kCircuitIncrement = 100;
constexpr i32 kStreamIncrement = 50;

}  // namespace

SendmeWindows::Due SendmeWindows::count_data_cell() {
  Due due;
  if (--circuit_ <= kCircuitWindowFloor) {
    due.circuit = true;
    circuit_ += kCircuitIncrement;
  }
  if (--stream_ <= kStreamWindowFloor) {
    due.stream = true;
    stream_ += kStreamIncrement;
  }
  return due;
}

Bytes read_stream_until_end(const StreamIo& io, u16 stream_id, u64 limit,
                            std::string_view too_large) {
  Bytes out;
  SendmeWindows windows;
  circuit::Wait wait = io.wait_for("DATA");
  for (;;) {
    circuit::RelayCell cell = io.recv(wait);
    // Circuit-level cells (stream 0, such as the far end's own SENDMEs) and
    // other streams' cells are not ours to count.
    if (cell.stream_id != stream_id) continue;
    if (cell.command == circuit::kRelayEnd) return out;
    if (cell.command != circuit::kRelayData) continue;
    out.insert(out.end(), cell.data.begin(), cell.data.end());
    wait = io.wait_for("DATA");
    SendmeWindows::Due due = windows.count_data_cell();
    // Peers that require authenticated SENDMEs close the circuit on the
    // empty version 0 kind; the digest proves that this cell arrived.
    if (due.circuit) io.send_sendme(0, circuit::sendme_v1_data(io.backward_digest()));
    if (due.stream) io.send_sendme(stream_id, {});
    if (out.size() > limit) throw err(std::string(too_large));
  }
}

void RendezvousStream::send_hs(u8 command, u16 stream_id, ByteView data) {
  circuit.send_raw_body(hs_crypto.encrypt_relay(command, stream_id, data));
}

void RendezvousStream::begin(u16 stream_id, u16 port) {
  // An empty address before the colon: the service picks the target by port.
  std::string target = fmt::format(":{}", port);
  Bytes body(target.begin(), target.end());
  body.push_back(0);
  send_hs(circuit::kRelayBegin, stream_id, body);
  const circuit::Wait wait = circuit.wait_for("CONNECTED");
  if (!await_connected([this](const circuit::Wait& w) { return recv_hs(w); }, wait, stream_id))
    throw err("onion service stream ended before CONNECTED");
  log::info(kLog, "stream {} to port {} connected", stream_id, port);
}

void RendezvousStream::send_data(u16 stream_id, ByteView data) {
  send_data_cells([this](u8 command, u16 id, ByteView chunk) { send_hs(command, id, chunk); },
                  stream_id, data);
}

circuit::RelayCell RendezvousStream::recv_hs(const circuit::Wait& wait) {
  for (;;) {
    Bytes body = circuit.recv_raw_body(wait);
    // Every body moves the end-to-end keystream, recognized or not.
    hs_crypto.backward.apply_in_place(body);
    if (hs_crypto.recognize_decrypted(body)) return circuit::parse_relay_body(body);
  }
}

Bytes RendezvousStream::read_until_end(u16 stream_id, u64 limit) {
  StreamIo io{
      [this](std::string_view awaited) { return circuit.wait_for(awaited); },
      [this](const circuit::Wait& wait) { return recv_hs(wait); },
      [this](u16 id, ByteView data) { send_hs(circuit::kRelaySendme, id, data); },
      [this] { return hs_crypto.backward_digest.current(); },
  };
  Bytes out = read_stream_until_end(io, stream_id, limit, "stream response too large");
  log::info(kLog, "stream {} ended after {} bytes", stream_id, out.size());
  return out;
}

}  // namespace mistgrove_core::hs
