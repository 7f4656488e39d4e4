// Directory HTTP: the request text, the http and chunked records of
// directory_cases.txt, and http_get_direct against a loopback server.
#include "directory/http.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <thread>

#include "base/test_support.h"
#include "mistgrove_core/directory.h"

namespace mistgrove_core::directory {
namespace {

using mistgrove_test::outcome;
using mistgrove_test::text;
using Serve = std::function<void(int client)>;

TEST(DirectoryHttp, RequestTextAndBodies) {
  EXPECT_EQ(directory_request_text("/tor/micro/d/a-b", "192.0.2.7"),
            "GET /tor/micro/d/a-b HTTP/1.0\r\nHost: 192.0.2.7\r\nUser-Agent: mistgrove/0\r\n"
            "Accept-Encoding: identity\r\nConnection: close\r\n\r\n");
  for (const char* kind : {"http", "chunked"}) {
    for (const auto& r : mistgrove_test::load_records("directory_cases.txt", kind)) {
      const ByteView in = util::text_bytes(r.text(1));
      const auto decode = *kind == 'h' ? decode_http_body : decode_chunked_body;
      EXPECT_EQ(outcome([&] { return text(decode(in)); }), r.last()) << r.text(1);
    }
  }
}

bool readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, 10000) == 1;
}

// Reads and drops what the client sends until it closes (or 10 s pass).
void wait_for_close(int client) {
  for (char buf[256]; readable(client) && ::recv(client, buf, sizeof buf, 0) > 0;) {
  }
}

Serve answer(std::string response, std::string drip = "", bool hold = false) {
  return [=](int client) {
    ::send(client, response.data(), response.size(), MSG_NOSIGNAL);
    for (char byte : drip) {  // a byte per 100 ms
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      if (::send(client, &byte, 1, MSG_NOSIGNAL) != 1) return;
    }
    if (hold) wait_for_close(client);
  };
}

// A thread that accepts one client, reads its request head and hands the
// connection to `serve`; every wait is bounded.
struct LoopbackServer {
  u16 port = 0;
  int listener = mistgrove_test::bind_loopback(port, 1);
  std::string request;
  std::thread thread;

  explicit LoopbackServer(const Serve& serve)
      : thread([this, serve] {
          const int client = readable(listener) ? ::accept(listener, nullptr, nullptr) : -1;
          if (client < 0) return;
          for (char c;
               !request.ends_with("\r\n\r\n") && readable(client) && ::recv(client, &c, 1, 0) == 1;)
            request.push_back(c);
          serve(client);
          ::close(client);
        }) {}
  ~LoopbackServer() {
    if (thread.joinable()) thread.join();
    ::close(listener);
  }
};

const std::string kPath = "/tor/status-vote/current/consensus-microdesc";

// A response that reaches 8 MiB ends the reading although the server keeps the
// connection open. A server dripping a byte per third of the time-out holds a
// plain fetch (p) until the body is whole; a fetch bounded as a whole (w), and
// so a microdescriptor batch (m), ends at its time-out.
TEST(HttpGetDirect, ServerOutcomes) {
  const std::string head = "HTTP/1.0 200 OK\r\n\r\n", big(8388608 - head.size(), 'x');
  Consensus consensus = parse_consensus(
      "valid-after 2026-12-05 18:00:00\nr n AAAA 2026-12-05 06:00:00 1.2.3.4 9001 0\n"
      "s HSDir Running Valid\nm d\n");
  const struct {
    const char* name;
    Serve serve;
    i32 timeout_ms;
    std::string body_or_error;
    i32 held_ms = 0;  // how long the call lasts, at least
    char fetch = 'p';
  } cases[] = {
      {"plain", answer("HTTP/1.0 200 OK\r\nContent-Length: 1\r\n\r\nplain body"), 5000,
       "plain body"},
      {"closes without answer", [](int) {}, 5000, "malformed HTTP response"},
      {"resets",
       [](int client) {
         const linger hard{1, 0};
         ::setsockopt(client, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
       },
       5000, error::os_error_text(ECONNRESET)},
      {"never answers", wait_for_close, 200, error::os_error_text(EAGAIN), 200},
      {"8 MiB, open", answer(head + big, "", true), 5000, big},
      {"dripping, plain fetch", answer(head, "slow"), 300, "slow", 400},
      {"dripping, whole fetch", answer(head, std::string(100, 'x')), 300,
       "directory fetch timed out", 300, 'w'},
      {"dripping, microdescriptor batch", answer(head, std::string(100, 'x')), 300, "", 300, 'm'},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    LoopbackServer server(c.serve);
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
    EXPECT_EQ(server.request,
              directory_request_text(c.fetch == 'm' ? "/tor/micro/d/d" : kPath, "127.0.0.1"));
  }
}

}  // namespace
}  // namespace mistgrove_core::directory
