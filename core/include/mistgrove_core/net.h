// TCP with time-outs: the socket under both the relay links and the plain
// directory fetches.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <string_view>

#include "mistgrove_core/util.h"

namespace mistgrove_core::net {

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

// send() on a socket of connect_tcp, with `flags` (MSG_DONTWAIT, say) added:
// a peer that has hung up fails it with EPIPE instead of raising SIGPIPE in
// the host process.
ssize_t send_no_sigpipe(int fd, const void* data, std::size_t len, int flags = 0);

// Waits until `fd` reports one of `events` or the deadline passes. Returns the
// events reported (> 0), 0 at the deadline, or -1 with errno when poll fails;
// a signal restarts the wait with the time left. The socket time-outs restart
// with every receive and send, so only this bounds a peer that sends a byte
// now and then.
int poll_until(int fd, short events, std::chrono::steady_clock::time_point deadline);

}  // namespace mistgrove_core::net
