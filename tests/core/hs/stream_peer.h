// The far end of a read loop for tests: sends a response as DATA cells from
// one hop of the fake peer and, at each cell that makes SENDMEs due, reads
// them from the client and checks their order, stream and authentication.
#pragma once

#include "circuit/relay_side.h"

namespace mistgrove_core::hs::testing {

using circuit::testing::RelaySide;

struct ServedData {
  int circuit_sendmes = 0;
  int stream_sendmes = 0;
};

// Cells from the peer gathered into few large writes. The peer's socket
// keeps Nagle's algorithm, so a small write behind an unacknowledged one
// would wait for the client's delayed ACK.
class Batch {
 public:
  explicit Batch(RelaySide& relay) : relay_(relay) {}
  void cell(std::size_t hop, u8 command, u16 stream, ByteView data) {
    body(hop, relay_.hops[hop].encrypt_relay(command, stream, data));
  }
  // A body no hop recognizes.
  void garbage() {
    body(relay_.hops.size() - 1, relay_.hops.back().forward.apply(crypto::random_bytes(509)));
  }
  std::size_t size() const { return frames_.size(); }
  void flush() {
    if (frames_.size() > 0) relay_.conn.write(frames_.take());
    frames_ = util::ByteWriter();
  }

 private:
  void body(std::size_t hop, Bytes body) {
    for (std::size_t i = hop; i-- > 0;) relay_.hops[i].forward.apply_in_place(body);
    frames_.put_u32(relay_.circ_id);
    frames_.put_u8(tor::kCellRelay);
    frames_.put_bytes(body);
  }
  RelaySide& relay_;
  util::ByteWriter frames_;
};

// `data` in cells of at most 498 bytes on `stream` from `hop`. After every
// 100th cell a version-1 SENDME on stream 0 must come first, carrying the
// hop's digest as it stood right after that cell; after every 50th an empty
// SENDME on the stream. `between(batch)` runs after each cell, to add cells
// the client must skip. The SENDMEs are read after each megabyte of cells:
// they fit the socket buffers while the client keeps reading.
template <typename F>
ServedData serve_data(RelaySide& relay, std::size_t hop, u16 stream, ByteView data, F&& between) {
  ServedData served;
  Batch batch(relay);
  std::vector<std::pair<u16, Bytes>> due;
  auto check_due = [&] {
    batch.flush();
    for (const auto& [sendme_stream, sendme_data] : due) {
      auto got = relay.recv();
      EXPECT_EQ(got.hop, hop);
      EXPECT_EQ(got.cell.command, circuit::kRelaySendme);
      EXPECT_EQ(got.cell.stream_id, sendme_stream);
      EXPECT_EQ(got.cell.data, sendme_data);
      ++(sendme_stream == 0 ? served.circuit_sendmes : served.stream_sendmes);
    }
    due.clear();
  };
  for (int cells = 1; !data.empty(); ++cells) {
    std::size_t n = std::min<std::size_t>(data.size(), 498);
    batch.cell(hop, circuit::kRelayData, stream, data.first(n));
    const Bytes digest = relay.hops[hop].forward_digest.current();
    data = data.subspan(n);
    between(batch);
    if (cells % 100 == 0)
      due.emplace_back(0, util::concat({Bytes{1, 0, 20}, ByteView(digest).first(20)}));
    if (cells % 50 == 0) due.emplace_back(stream, Bytes{});
    if (batch.size() >= (1 << 20)) check_due();
  }
  check_due();
  return served;
}

inline ServedData serve_data(RelaySide& relay, std::size_t hop, u16 stream, ByteView data) {
  return serve_data(relay, hop, stream, data, [](Batch&) {});
}

// `n` bytes that differ from cell to cell.
inline Bytes pattern(std::size_t n) {
  Bytes out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<u8>(i * 31 + i / 498);
  return out;
}

}  // namespace mistgrove_core::hs::testing
