// The stream layer of a rendezvous circuit: the end-to-end hop to the onion
// service, BEGIN/DATA/END, and the flow control in both directions that every
// stream (this one and the descriptor fetch's BEGIN_DIR stream) follows.
#include <fmt/format.h>

#include <algorithm>
#include <deque>

#include "mistgrove_core/error.h"
#include "mistgrove_core/hs.h"
#include "stream_steps.h"

namespace mistgrove_core::hs {
namespace {

using error::err;

constexpr i32 kCircuitWindowFloor = 900;
constexpr i32 kStreamWindowFloor = 450;
constexpr i32 kCircuitIncrement = 100;
constexpr i32 kStreamIncrement = 50;
constexpr i32 kCircuitPackageWindow = 1000;
constexpr i32 kStreamPackageWindow = 500;
constexpr u8 kEndReasonDone = 6;

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

namespace {

// One stream's exchange: our DATA within the package windows, and the far
// end's cells read whenever a window is closed or the sending is done. One
// reader for both phases, so an echo that answers while we send is collected
// under the same rules as a response read after it.
class StreamExchange {
 public:
  StreamExchange(const StreamIo& io, u16 stream_id, u64 limit, const StreamTexts& texts)
      : io_(io), stream_id_(stream_id), limit_(limit), texts_(texts) {}

  Bytes run(ByteView payload) {
    while (!payload.empty() && !ended_) {
      if (circuit_package_ == 0 || stream_package_ == 0) {
        wait_ = io_.wait_for("SENDME");
        while (!ended_ && (circuit_package_ == 0 || stream_package_ == 0)) read_cell();
        continue;
      }
      const std::size_t n = std::min(payload.size(), crypto::kRelayDataMax);
      io_.send(circuit::kRelayData, stream_id_, payload.first(n));
      payload = payload.subspan(n);
      --circuit_package_;
      --stream_package_;
      // The far end acknowledges every 100th DATA cell with the digest it
      // read right after that cell.
      if (++sent_ % kCircuitIncrement == 0) acknowledged_.push_back(io_.forward_digest());
    }
    wait_ = io_.wait_for("DATA");
    while (!ended_) read_cell();
    return std::move(out_);
  }

 private:
  void read_cell() {
    const circuit::RelayCell cell = io_.recv(wait_);
    if (cell.command == circuit::kRelaySendme && cell.stream_id == 0) return circuit_sendme(cell);
    // Other streams' cells and other circuit-level cells are not ours.
    if (cell.stream_id != stream_id_) return;
    if (cell.command == circuit::kRelaySendme) {
      stream_package_ = std::min(stream_package_ + kStreamIncrement, kStreamPackageWindow);
    } else if (cell.command == circuit::kRelayEnd) {
      if (!cell.data.empty() && cell.data[0] != kEndReasonDone)
        throw err(fmt::format("{} ended with reason {}", texts_.name, cell.data[0]));
      ended_ = true;
    } else if (cell.command == circuit::kRelayData) {
      collect(cell.data);
    }
  }

  // A SENDME for which no 100th cell is outstanding would open the window
  // past its start; it is ignored.
  void circuit_sendme(const circuit::RelayCell& cell) {
    if (acknowledged_.empty()) return;
    const ByteView data = cell.data;
    if (!data.empty() && data[0] != 0) {
      const ByteView expected = ByteView(acknowledged_.front()).first(20);
      if (data[0] != 1 || data.size() < 23 || util::read_u16(data, 1) < 20 ||
          !std::equal(expected.begin(), expected.end(), data.begin() + 3))
        throw err("circuit SENDME digest mismatch");
    }
    acknowledged_.pop_front();
    circuit_package_ += kCircuitIncrement;
  }

  void collect(ByteView data) {
    out_.insert(out_.end(), data.begin(), data.end());
    // Only bytes renew the wait: empty cells would hold it open for ever.
    if (!data.empty()) wait_ = io_.wait_for(wait_.awaited);
    const SendmeWindows::Due due = deliver_.count_data_cell();
    // Peers that require authenticated SENDMEs close the circuit on the
    // empty version 0 kind; the digest proves that this cell arrived.
    if (due.circuit)
      io_.send(circuit::kRelaySendme, 0, circuit::sendme_v1_data(io_.backward_digest()));
    if (due.stream) io_.send(circuit::kRelaySendme, stream_id_, {});
    if (out_.size() > limit_) throw err(std::string(texts_.too_large));
  }

  const StreamIo& io_;
  const u16 stream_id_;
  const u64 limit_;
  const StreamTexts texts_;
  circuit::Wait wait_;
  SendmeWindows deliver_;
  i32 circuit_package_ = kCircuitPackageWindow;
  i32 stream_package_ = kStreamPackageWindow;
  u64 sent_ = 0;
  std::deque<Bytes> acknowledged_;  // forward digests after each 100th DATA cell sent
  Bytes out_;
  bool ended_ = false;
};

}  // namespace

Bytes exchange_on_stream(const StreamIo& io, u16 stream_id, ByteView payload, u64 limit,
                         const StreamTexts& texts) {
  return StreamExchange(io, stream_id, limit, texts).run(payload);
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
}

circuit::RelayCell RendezvousStream::recv_hs(const circuit::Wait& wait) {
  for (;;) {
    Bytes body = circuit.recv_raw_body(wait);
    // Every body moves the end-to-end keystream, recognized or not.
    hs_crypto.backward.apply_in_place(body);
    if (hs_crypto.recognize_decrypted(body)) return circuit::parse_relay_body(body);
  }
}

Bytes RendezvousStream::exchange(u16 stream_id, ByteView payload, u64 limit) {
  const StreamIo io{
      [this](std::string_view awaited) { return circuit.wait_for(awaited); },
      [this](const circuit::Wait& wait) { return recv_hs(wait); },
      [this](u8 command, u16 id, ByteView data) { send_hs(command, id, data); },
      [this] { return hs_crypto.backward_digest.current(); },
      [this] { return hs_crypto.forward_digest.current(); },
  };
  return exchange_on_stream(io, stream_id, payload, limit,
                            {"onion service stream", "stream response too large"});
}

}  // namespace mistgrove_core::hs
