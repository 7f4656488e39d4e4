// Links to relays: the TLS channel over net.h's TCP, the link handshake
// (VERSIONS, NETINFO) and link cells with 4-byte circuit ids.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "mistgrove_core/net.h"
#include "mistgrove_core/util.h"

namespace mistgrove_core::tor {

// The links' TCP connect, the socket layer's own.
using net::connect_tcp;

// Link commands the circuits send and read; the link handshake's own are
// private to the channel.
inline constexpr u8 kCellRelay = 3;
inline constexpr u8 kCellDestroy = 4;
inline constexpr u8 kCellCreateFast = 5;
inline constexpr u8 kCellCreatedFast = 6;
inline constexpr u8 kCellRelayEarly = 9;

// One link cell as read.
struct Cell {
  Bytes body;  // 509 bytes for a fixed-length cell, else the header's length
  u32 circ_id = 0;
  u8 command = 0;
};

// One TLS link to a relay after the link handshake. One thread at a time.
// The TCP connect is bounded by connect_tcp's time-out; the TLS and link
// handshake after it, its writes included, by one deadline; a cell read, and
// any TLS answer it sends, by its caller's deadline; write_cell by the
// socket's send time-out. Dropping it closes the socket at once, with no
// close alert.
class TorChannel {
 public:
  // TCP connect, then TLS and `negotiate`, which together end within
  // `timeout_ms` of the connect or fail with "timed out waiting for link
  // handshake", however the relay paces its part. A relay whose TLS key is RSA
  // of fewer than 2048 or more than 8192 bits fails it, in the TLS handshake,
  // with "relay RSA key of {bits} bits is outside 2048 to 8192 bits".
  static TorChannel open(std::string host, u16 port, i32 timeout_ms);

  TorChannel(TorChannel&&) noexcept;
  TorChannel& operator=(TorChannel&&) noexcept;
  ~TorChannel();

  // Frames and writes one cell. VERSIONS always goes out with a 2-byte circuit
  // id 0; fixed-length bodies are zero-filled to 509 bytes.
  void write_cell(u32 circ_id, u8 command, ByteView body);
  // One whole cell with a 4-byte circuit id, or nothing when `deadline`
  // passes first: no receive or send starts after it and every wait for the
  // socket ends by then, however the relay paces its records. After nothing
  // the link is out of step and only fit to drop.
  std::optional<Cell> read_cell(std::chrono::steady_clock::time_point deadline);

  i32 link_version() const { return link_version_; }

  struct Tls;  // the TLS connection and its socket (opaque)

 private:
  explicit TorChannel(std::unique_ptr<Tls> tls);
  // VERSIONS exchange (4 or 5), skip to the relay's NETINFO, send ours.
  void negotiate();
  void send_netinfo();
  void write_all(ByteView data);
  void read_exact(std::span<u8> out);
  // `width` is the circuit-id width, 2 (first VERSIONS) or 4.
  Cell read_cell_with_circ_len(int width);

  std::unique_ptr<Tls> tls_;
  i32 link_version_ = 4;
};

}  // namespace mistgrove_core::tor
