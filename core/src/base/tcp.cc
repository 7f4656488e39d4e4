// Blocking TCP connect with a time-out per attempt, shared by the relay link
// and the plain directory fetch. Each attempt is a non-blocking connect
// waited for with poll; the returned socket is blocking again, with receive
// and send time-outs set.
#include "tcp.h"

#include <arpa/inet.h>
#include <fmt/format.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <memory>
#include <vector>

#include "mistgrove_core/error.h"
#include "mistgrove_core/net.h"
#include "portability.h"

namespace mistgrove_core::net {
namespace {

using error::Error;
using Millis = std::chrono::milliseconds;

constexpr const char* kZeroTimeout = "cannot set a 0 duration timeout";

struct AddrInfoFree {
  void operator()(addrinfo* list) const { freeaddrinfo(list); }
};

struct SocketAddress {
  sockaddr_storage storage{};
  socklen_t len = 0;
  int family() const { return storage.ss_family; }
  const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
};

SocketAddress make_address(const sockaddr* addr, socklen_t len, u16 port) {
  SocketAddress out;
  std::memcpy(&out.storage, addr, len);
  out.len = len;
  if (out.family() == AF_INET)
    reinterpret_cast<sockaddr_in*>(&out.storage)->sin_port = htons(port);
  else
    reinterpret_cast<sockaddr_in6*>(&out.storage)->sin6_port = htons(port);
  return out;
}

// An address literal stands for itself; any other text goes to the resolver.
// Returns the resolver's failure text through `failure` when it fails.
std::vector<SocketAddress> resolve(const std::string& host, u16 port, std::string& failure) {
  // Both the literal parsers and the resolver read a C string: an embedded
  // NUL would silently name another host.
  if (host.find('\0') != std::string::npos) {
    failure = "file name contained an unexpected NUL byte";
    return {};
  }
  sockaddr_in v4{};
  v4.sin_family = AF_INET;
  if (inet_pton(AF_INET, host.c_str(), &v4.sin_addr) == 1)
    return {make_address(reinterpret_cast<sockaddr*>(&v4), sizeof v4, port)};
  sockaddr_in6 v6{};
  v6.sin6_family = AF_INET6;
  if (inet_pton(AF_INET6, host.c_str(), &v6.sin6_addr) == 1)
    return {make_address(reinterpret_cast<sockaddr*>(&v6), sizeof v6, port)};

  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* raw = nullptr;
  const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &raw);
  const int resolver_errno = errno;
  std::unique_ptr<addrinfo, AddrInfoFree> list(raw);
  if (rc != 0) {
    failure = resolver_failure_text(rc, resolver_errno);
    return {};
  }
  std::vector<SocketAddress> out;
  for (const addrinfo* ai = list.get(); ai != nullptr; ai = ai->ai_next)
    if (ai->ai_family == AF_INET || ai->ai_family == AF_INET6)
      out.push_back(make_address(ai->ai_addr, ai->ai_addrlen, port));
  if (out.empty()) failure = "no address found";
  return out;
}

void set_nonblocking(int fd, bool on) {
  int value = on ? 1 : 0;
  if (ioctl(fd, FIONBIO, &value) != 0) throw error::os_error(errno);
}

// One connect attempt bounded by `timeout`; throws Error with the attempt's
// failure text.
TcpStream connect_one(const SocketAddress& address, Millis timeout) {
  // A zero bound is refused before the connect starts, so the failure does
  // not depend on how fast this peer happens to answer.
  if (timeout.count() == 0) throw Error(kZeroTimeout);
  TcpStream stream(portability::open_stream_socket(address.family()));
  if (stream.fd() < 0 || portability::forbid_sigpipe(stream.fd()) != 0)
    throw error::os_error(errno);
  set_nonblocking(stream.fd(), true);
  const int rc = connect(stream.fd(), address.get(), address.len);
  const int connect_errno = errno;
  set_nonblocking(stream.fd(), false);
  if (rc == 0) return stream;
  if (connect_errno != EINPROGRESS) throw error::os_error(connect_errno);

  const int revents = poll_until(stream.fd(), POLLOUT, std::chrono::steady_clock::now() + timeout);
  if (revents == 0) throw Error("connection timed out");
  if (revents < 0) throw error::os_error(errno);
  // Linux reports a refused connect as POLLOUT|POLLERR|POLLHUP, so the error
  // bits decide, not writability.
  if (revents & (POLLHUP | POLLERR)) {
    int so_error = 0;
    socklen_t len = sizeof so_error;
    if (getsockopt(stream.fd(), SOL_SOCKET, SO_ERROR, &so_error, &len) != 0)
      throw error::os_error(errno);
    if (so_error == 0) throw Error("no error set after POLLHUP");
    throw error::os_error(so_error);
  }
  return stream;
}

void set_socket_timeout(int fd, int option, Millis timeout) {
  if (timeout.count() == 0) throw Error(kZeroTimeout);
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(timeout.count() / 1000);
  tv.tv_usec = static_cast<suseconds_t>(timeout.count() % 1000 * 1000);
  if (setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv) != 0) throw error::os_error(errno);
}

}  // namespace

std::string resolver_failure_text(int rc, int errnum) {
  // EAI_SYSTEM's own text says only "System error"; errno holds the reason.
  const std::string reason = rc == EAI_SYSTEM ? error::os_error_text(errnum) : gai_strerror(rc);
  return "failed to lookup address information: " + reason;
}

TcpStream& TcpStream::operator=(TcpStream&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) close(fd_);
    fd_ = other.release();
  }
  return *this;
}

TcpStream::~TcpStream() {
  if (fd_ >= 0) close(fd_);
}

ssize_t send_no_sigpipe(int fd, const void* data, std::size_t len, int flags) {
  return ::send(fd, data, len, flags | portability::kSendNoSigpipe);
}

int poll_until(int fd, short events, std::chrono::steady_clock::time_point deadline) {
  pollfd pfd{fd, events, 0};
  for (;;) {
    const auto left =
        std::chrono::ceil<Millis>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) return 0;
    const int ready = poll(&pfd, 1, static_cast<int>(std::min<long long>(left, INT_MAX)));
    if (ready > 0) return pfd.revents;
    if (ready < 0 && errno != EINTR) return -1;
  }
}

TcpStream connect_tcp(std::string_view host, u16 port, i32 timeout_ms) {
  if (timeout_ms < 0) throw Error("timeout must be non-negative");
  const std::string host_text(host);
  std::string failure;
  const std::vector<SocketAddress> addresses = resolve(host_text, port, failure);
  if (addresses.empty()) throw Error(fmt::format("getaddrinfo failed for {}: {}", host, failure));

  const Millis timeout(timeout_ms);
  std::string last_failure;
  for (const SocketAddress& address : addresses) {
    TcpStream stream;
    try {
      stream = connect_one(address, timeout);
    } catch (const Error& e) {
      last_failure = e.message();
      continue;
    }
    set_socket_timeout(stream.fd(), SO_RCVTIMEO, timeout);
    set_socket_timeout(stream.fd(), SO_SNDTIMEO, timeout);
    return stream;
  }
  throw Error(fmt::format("tcp connect failed to {}:{}: {}", host, port, last_failure));
}

}  // namespace mistgrove_core::net
