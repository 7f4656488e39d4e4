// Stream steps shared by the onion-service stream and the descriptor fetch's
// BEGIN_DIR stream, over whichever hop carries their relay cells.
#pragma once

#include <functional>
#include <string_view>

#include "mistgrove_core/circuit.h"
#include "mistgrove_core/hs.h"
#include "mistgrove_core/util.h"

namespace mistgrove_core::hs {

// The deliver windows of one stream exchange reading the far end's DATA:
// circuit window 1000 with a circuit-level SENDME whenever it falls to 900,
// stream window 500 with a stream-level SENDME whenever it falls to 450.
// Only DATA cells of the stream being read count.
class SendmeWindows {
 public:
  struct Due {
    bool circuit = false;  // send first
    bool stream = false;
  };
  // Counts one DATA cell and opens the windows again for the SENDMEs it makes
  // due; the caller sends them in that order.
  Due count_data_cell();

 private:
  i32 circuit_ = 1000;
  i32 stream_ = 500;
};

// What a stream exchange needs from the circuit it runs on: a wait on it, the
// next relay cell recognized at the far end of the stream within a wait, a
// relay cell to that hop, and that hop's running backward and forward
// digests as they stand now.
struct StreamIo {
  std::function<circuit::Wait(std::string_view awaited)> wait_for;
  std::function<circuit::RelayCell(const circuit::Wait&)> recv;
  std::function<void(u8 command, u16 stream_id, ByteView data)> send;
  std::function<Bytes()> backward_digest;
  std::function<Bytes()> forward_digest;
};

// How an exchange's failures name its stream and its limit.
struct StreamTexts {
  std::string_view name;       // "{name} ended with reason {reason}"
  std::string_view too_large;  // more than the limit received
};

// Sends `payload` on `stream_id` as DATA cells of at most 498 bytes, then
// collects the stream's DATA until its END.
//
// Sending counts every DATA cell against a circuit package window (1000,
// +100 per circuit-level SENDME) and a stream package window (500, +50 per
// SENDME of the stream); while either is 0 the far end's cells are read
// within a wait for "SENDME". A circuit-level SENDME of version 1 must carry
// the forward digest as it stood right after the 100th, 200th, ... DATA cell
// sent ("circuit SENDME digest mismatch"); version 0 is taken as it is.
//
// Reading, in either phase, follows the SENDME window rule: our circuit-level
// SENDMEs are authenticated (version 1, the backward digest right after the
// DATA cell that made them due), stream-level ones are empty. Once the
// SENDMEs of a cell are sent, more than `limit` bytes fail with the
// `too_large` text.
// Each DATA cell that carries bytes starts a new wait, so a long transfer is
// bounded per cell; a `wait_for` that keeps one deadline bounds it as a
// whole. END ends the exchange, a sending one too: with no reason or reason
// 6 (DONE) with the data collected, with another reason as a failure "{name}
// ended with reason {reason}". Other streams' cells and other commands are
// skipped.
Bytes exchange_on_stream(const StreamIo& io, u16 stream_id, ByteView payload, u64 limit,
                         const StreamTexts& texts);

// Reads cells with `recv` within `wait` until `stream_id` is CONNECTED (true)
// or ended (false); other streams' cells and other commands are skipped.
template <typename Recv>
bool await_connected(Recv&& recv, const circuit::Wait& wait, u16 stream_id) {
  for (;;) {
    circuit::RelayCell cell = recv(wait);
    if (cell.stream_id != stream_id) continue;
    if (cell.command == circuit::kRelayConnected) return true;
    if (cell.command == circuit::kRelayEnd) return false;
  }
}

}  // namespace mistgrove_core::hs
