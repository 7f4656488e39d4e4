// Directory HTTP: the http and chunked records of directory_cases.txt, and
// fetches against a loopback server.
#include "directory/http.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <thread>

#include "base/test_support.h"
#include "mistgrove_core/directory.h"
#include "mistgrove_core/net.h"

namespace mistgrove_core::directory {
namespace {

using mistgrove_test::error_of;
using mistgrove_test::outcome;
using mistgrove_test::text;

TEST(DirectoryHttp, Bodies) {
  for (const char* kind : {"http", "chunked"})
    mistgrove_test::expect_answers("directory_cases.txt", kind, [](const auto& r) {
      const auto decode = r.kind() == "http" ? decode_http_body : decode_chunked_body;
      return text(decode(util::text_bytes(r.text(1))));
    });
}

bool readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, 10000) == 1;
}

struct Case {
  const char* name;
  std::string response, drip;  // the drip a byte per 100 ms
  char end;                    // close, hold until the client closes, or reset
  i32 timeout_ms;
  std::string body_or_error;
  i32 held_ms = 0;  // how long the call lasts, at least
  char fetch = 'p';
};

// A thread that accepts one client, reads its request head and answers as the
// case says; every wait is bounded. The thread is joined before the listener closes.
struct LoopbackServer {
  u16 port = 0;
  net::TcpStream listener{mistgrove_test::bind_loopback(port, 1)};
  std::string request;
  std::jthread thread;

  explicit LoopbackServer(const Case& c)
      : thread([this, &c] {
          const int client =
              readable(listener.fd()) ? ::accept(listener.fd(), nullptr, nullptr) : -1;
          if (client < 0) return;
          for (char ch; !request.ends_with("\r\n\r\n") && readable(client) &&
                        ::recv(client, &ch, 1, 0) == 1;)
            request.push_back(ch);
          const linger hard{1, 0};
          if (c.end == 'r') ::setsockopt(client, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
          ::send(client, c.response.data(), c.response.size(), MSG_NOSIGNAL);
          for (std::size_t i = 0; i < c.drip.size(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            if (::send(client, &c.drip[i], 1, MSG_NOSIGNAL) != 1) break;
          }
          for (char buf[256];
               c.end == 'h' && readable(client) && ::recv(client, buf, sizeof buf, 0) > 0;) {
          }
          ::close(client);
        }) {}
};

const std::string kPath = "/tor/status-vote/current/consensus-microdesc";

// A response that reaches 8 MiB ends the reading although the server keeps the
// connection open. A server dripping a byte per third of the time-out holds a
// plain fetch (p) until the body is whole; a fetch bounded as a whole (w), and
// so a microdescriptor batch (m), ends at its time-out.
TEST(HttpGetDirect, ServerOutcomes) {
  const std::string head = "HTTP/1.0 200 OK\r\n\r\n", big(8388608 - head.size(), 'x');
  const std::string drip(100, 'x');
  Consensus consensus = parse_consensus(
      "valid-after 2026-12-05 18:00:00\nr n AAAA 2026-12-05 06:00:00 1.2.3.4 9001 0\n"
      "s HSDir Running Valid\nm d\n");
  const Case cases[] = {
      {"plain", "HTTP/1.0 200 OK\r\nContent-Length: 1\r\n\r\nplain body", "", 'c', 5000,
       "plain body"},
      {"closes without answer", "", "", 'c', 5000, "malformed HTTP response"},
      {"resets", "", "", 'r', 5000, error::os_error_text(ECONNRESET)},
      {"never answers", "", "", 'h', 200, error::os_error_text(EAGAIN), 200},
      {"8 MiB, open", head + big, "", 'h', 5000, big},
      {"dripping, plain fetch", head, "slow", 'c', 300, "slow", 400},
      {"dripping, whole fetch", head, drip, 'c', 300, "directory fetch timed out", 300, 'w'},
      {"dripping, microdescriptor batch", head, drip, 'c', 300, "", 300, 'm'},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LoopbackServer server(c);
    const util::HostPort at{"127.0.0.1", server.port};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(outcome([&] {
                if (c.fetch == 'w') return text(http_get_direct_within(at, kPath, c.timeout_ms));
                if (c.fetch == 'p') return text(http_get_direct(at, kPath, c.timeout_ms));
                hydrate_microdescriptors(consensus, at, c.timeout_ms);
                return text(consensus.relays[0].ntor_onion_key.to_bytes());
              }),
              c.body_or_error);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(c.held_ms));
    EXPECT_LT(elapsed, std::chrono::milliseconds(c.held_ms + 2500));
    server.thread.join();
    EXPECT_EQ(server.request, "GET " + (c.fetch == 'm' ? "/tor/micro/d/d" : kPath) +
                                  " HTTP/1.0\r\nHost: 127.0.0.1\r\nUser-Agent: mistgrove/0\r\n"
                                  "Accept-Encoding: identity\r\nConnection: close\r\n\r\n");
  }
}

// A signal cuts a send short after partial progress, halfway to the deadline;
// the reader drains, so the socket soon takes more. No send may then wait for
// room past the deadline of a fetch bounded as a whole.
TEST(HttpGetDirect, SendsEndAtTheDeadlineOfAWholeFetch) {
  struct sigaction ignore{};
  ignore.sa_handler = [](int) {};
  ASSERT_EQ(::sigaction(SIGUSR1, &ignore, nullptr), 0);
  u16 port = 0;
  const int listener = mistgrove_test::bind_loopback(port, 1);
  std::atomic<bool> done{false};
  std::thread reader([&] {
    const int client = readable(listener) ? ::accept(listener, nullptr, nullptr) : -1;
    for (static char buf[65536]; client >= 0 && !done;
         ::recv(client, buf, sizeof buf, MSG_DONTWAIT))
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ::close(client);
  });
  std::thread signaller([fetcher = ::pthread_self()] {
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    ::pthread_kill(fetcher, SIGUSR1);
  });
  const auto start = std::chrono::steady_clock::now();
  const std::string path = "/" + std::string(32 << 20, 'x');
  EXPECT_EQ(error_of([&] { http_get_direct_within({"127.0.0.1", port}, path, 2000); }),
            "directory fetch timed out");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2600));
  done = true;
  signaller.join(), reader.join();
  ::close(listener);
}

}  // namespace
}  // namespace mistgrove_core::directory
