// Links to relays: TCP connect with time-outs, the TLS channel, the link
// handshake and fixed-size cells.
#pragma once

#include <string_view>

#include "mistgrove_core/util.h"

namespace mistgrove_core::tor {

// An owned, connected TCP socket; closes on destruction.
class TcpStream {
 public:
  TcpStream() = default;
  explicit TcpStream(int fd) : fd_(fd) {}
  TcpStream(TcpStream&& other) noexcept : fd_(other.release()) {}
  TcpStream& operator=(TcpStream&& other) noexcept;
  TcpStream(const TcpStream&) = delete;
  TcpStream& operator=(const TcpStream&) = delete;
  ~TcpStream();

  int fd() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_ = -1;
};

// Blocking connect; receive and send time-outs of the returned socket are both
// timeout_ms.
TcpStream connect_tcp(std::string_view host, u16 port, i32 timeout_ms);

}  // namespace mistgrove_core::tor
