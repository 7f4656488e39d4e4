// Stream steps shared by the onion-service stream and the descriptor fetch's
// BEGIN_DIR stream, over whichever hop carries their relay cells.
#pragma once

#include "mistgrove_core/hs.h"

namespace mistgrove_core::hs {

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
