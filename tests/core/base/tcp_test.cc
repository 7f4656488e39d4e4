// connect_tcp against real loopback sockets opened by the test.
#include "base/tcp.h"

#include <gtest/gtest.h>
#include <netdb.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <string>
#include <tuple>
#include <vector>

#include "base/test_support.h"
#include "mistgrove_core/net.h"

namespace mistgrove_core::net {
namespace {

using mistgrove_test::error_of;

struct LoopbackSocket {  // listening when backlog >= 0
  u16 port = 0;
  TcpStream socket;
  explicit LoopbackSocket(int backlog) : socket(mistgrove_test::bind_loopback(port, backlog)) {}
};

// The start of the message of a failed connect to the loopback port.
std::string failed_to(u16 port) {
  return "tcp connect failed to 127.0.0.1:" + std::to_string(port) + ": ";
}

TEST(ConnectTcp, GivesBlockingStreamWithTimeouts) {
  LoopbackSocket listener(8);
  for (const char* host : {"127.0.0.1", "localhost"}) {
    SCOPED_TRACE(host);
    TcpStream stream = connect_tcp(host, listener.port, 1500);
    for (int option : {SO_RCVTIMEO, SO_SNDTIMEO}) {
      timeval tv{};
      socklen_t len = sizeof tv;
      ASSERT_EQ(getsockopt(stream.fd(), SOL_SOCKET, option, &tv, &len), 0);
      EXPECT_EQ(tv.tv_sec * 1000000 + tv.tv_usec, 1500000);
    }
    EXPECT_EQ(send(stream.fd(), "x", 1, MSG_NOSIGNAL), 1);  // connected and blocking
  }
}

TEST(ConnectTcp, FailuresCarryTheirTexts) {
  auto failure = [](const std::string& host, u16 port, i32 timeout_ms) {
    return error_of([&] { connect_tcp(host, port, timeout_ms); });
  };
  LoopbackSocket closed(-1);  // bound, not listening: connections are refused
  // The time-out is checked before the name is resolved.
  EXPECT_EQ(failure("bad host name", closed.port, -1), "timeout must be non-negative");
  EXPECT_EQ(failure("127.0.0.1", closed.port, 1000),
            failed_to(closed.port) + "Connection refused (os error 111)");
  EXPECT_EQ(failure("bad host name", closed.port, 1000),
            "getaddrinfo failed for bad host name: failed to lookup address information: " +
                std::string(gai_strerror(EAI_NONAME)));
  // A zero time-out fails the attempt before the connect can answer: a peer
  // that accepts or refuses, or a kernel that refuses at once (TCP to the
  // broadcast address), gives the same text.
  LoopbackSocket listener(8);
  const std::string zero = "cannot set a 0 duration timeout";
  for (const u16 port : {listener.port, closed.port}) {
    SCOPED_TRACE(port);
    EXPECT_EQ(failure("127.0.0.1", port, 0), failed_to(port) + zero);
  }
  EXPECT_EQ(failure("255.255.255.255", 9, 0), "tcp connect failed to 255.255.255.255:9: " + zero);
}

// Only EAI_SYSTEM takes its reason from errno; the rest from the resolver.
TEST(ConnectTcp, ResolverFailureTexts) {
  const std::tuple<int, int, std::string> kCases[] = {
      {EAI_SYSTEM, EMFILE, "Too many open files (os error 24)"},
      {EAI_NONAME, EMFILE, gai_strerror(EAI_NONAME)},
      {EAI_AGAIN, 0, gai_strerror(EAI_AGAIN)},
  };
  for (const auto& [rc, errnum, reason] : kCases) {
    SCOPED_TRACE(reason);
    EXPECT_EQ(resolver_failure_text(rc, errnum), "failed to lookup address information: " + reason);
  }
}

TEST(ConnectTcp, UnansweredConnectTimesOut) {
  // A listener whose accept queue is full drops further SYNs without answer.
  LoopbackSocket listener(0);
  std::vector<TcpStream> queued;
  std::string error;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 8 && error.empty(); ++i)
    error = error_of([&] { queued.push_back(connect_tcp("127.0.0.1", listener.port, 200)); });
  EXPECT_EQ(error, failed_to(listener.port) + "connection timed out");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

// The suite ignores SIGPIPE (OpenSSL in the fake relay writes with write(2)):
// a child with the default disposition proves the write itself never raises it.
TEST(SendNoSigpipe, HungUpPeerFailsTheWriteWithoutASignal) {
  LoopbackSocket listener(8);
  TcpStream stream = connect_tcp("127.0.0.1", listener.port, 1000);
  ::close(::accept(listener.socket.fd(), nullptr, nullptr));
  const pid_t child = ::fork();
  if (child == 0) {
    ::signal(SIGPIPE, SIG_DFL);
    for (int i = 0; i < 500; ::usleep(1000), ++i)
      if (send_no_sigpipe(stream.fd(), "x", 1) < 0) ::_exit(errno == EPIPE ? 0 : 2);
    ::_exit(3);
  }
  int status = -1;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_EQ(status, 0);
}

}  // namespace
}  // namespace mistgrove_core::net
