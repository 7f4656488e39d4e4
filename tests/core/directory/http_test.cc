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

using mistgrove_test::error_of;
using mistgrove_test::outcome;
using mistgrove_test::text;

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

// A thread that accepts one client, reads its request head and hands the
// connection to `serve`; every wait is bounded.
class LoopbackServer {
 public:
  using Serve = std::function<void(int client)>;

  explicit LoopbackServer(Serve serve) : listener_(mistgrove_test::bind_loopback(port_, 1)) {
    thread_ = std::thread([this, serve = std::move(serve)] { run(serve); });
  }
  ~LoopbackServer() {
    if (thread_.joinable()) thread_.join();
    ::close(listener_);
  }

  util::HostPort endpoint() const { return {"127.0.0.1", port_}; }
  const std::string& request() {  // the head it received, once it has ended
    if (thread_.joinable()) thread_.join();
    return request_;
  }

  static bool readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 10000) == 1;
  }
  // Reads and drops what the client sends until it closes (or 10 s pass).
  static void wait_for_close(int client) {
    for (char buf[256]; readable(client) && ::recv(client, buf, sizeof buf, 0) > 0;) {
    }
  }
  static Serve answer(std::string response) {
    return [response = std::move(response)](int client) {
      ::send(client, response.data(), response.size(), MSG_NOSIGNAL);
    };
  }

 private:
  void run(const Serve& serve) {
    const int client = readable(listener_) ? ::accept(listener_, nullptr, nullptr) : -1;
    if (client < 0) return;
    for (char c; request_.find("\r\n\r\n") == std::string::npos && readable(client) &&
                 ::recv(client, &c, 1, 0) == 1;)
      request_.push_back(c);
    serve(client);
    ::close(client);
  }

  u16 port_ = 0;
  int listener_;
  std::string request_;
  std::thread thread_;
};

TEST(HttpGetDirect, ServerOutcomes) {
  const std::string path = "/tor/status-vote/current/consensus-microdesc";
  // A response that reaches 8 MiB ends the reading although the server keeps
  // the connection open: without the cap this would wait for the time-out.
  const std::string head = "HTTP/1.0 200 OK\r\n\r\n", big(8388608 - head.size(), 'x');
  struct Case {
    const char* name;
    LoopbackServer::Serve serve;
    i32 timeout_ms;
    std::string body_or_error;
  } cases[] = {
      {"plain", LoopbackServer::answer("HTTP/1.0 200 OK\r\nContent-Length: 1\r\n\r\nplain body"),
       5000, "plain body"},
      {"closes without answer", [](int) {}, 5000, "malformed HTTP response"},
      {"resets",
       [](int client) {
         const linger hard{1, 0};
         ::setsockopt(client, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
       },
       5000, error::os_error_text(ECONNRESET)},
      {"never answers", LoopbackServer::wait_for_close, 200, error::os_error_text(EAGAIN)},
      {"8 MiB, open",
       [&](int client) {
         LoopbackServer::answer(head + big)(client);
         LoopbackServer::wait_for_close(client);
       },
       5000, big},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    LoopbackServer server(c.serve);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(outcome([&] { return text(http_get_direct(server.endpoint(), path, c.timeout_ms)); }),
              c.body_or_error);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_EQ(server.request(), directory_request_text(path, "127.0.0.1"));
  }
}

// A byte per third of the time-out: each read is within the time-out, which
// holds a plain fetch until the body is whole; a fetch bounded as a whole, and
// so a microdescriptor batch, ends at its time-out.
TEST(HttpGetDirect, DrippingServer) {
  constexpr i32 kTimeoutMs = 300;
  Consensus consensus;
  consensus.relays.resize(1);
  consensus.relays[0].or_port = 9001;
  consensus.relays[0].microdesc_digest = "d";
  consensus.relays[0].flags = {"HSDir", "Running", "Valid"};
  struct Case {
    const char* name;
    std::string body;
    std::function<std::string(const util::HostPort&)> fetch;
    std::string body_or_error;
    i32 held_ms = kTimeoutMs;  // how long the call lasts, at least
  } const kCases[] = {
      {"plain fetch", "slow",
       [](const util::HostPort& at) { return text(http_get_direct(at, "/", kTimeoutMs)); }, "slow",
       4 * kTimeoutMs / 3},
      {"whole fetch", std::string(100, 'x'),
       [](const util::HostPort& at) { return text(http_get_direct_within(at, "/", kTimeoutMs)); },
       "directory fetch timed out"},
      {"microdescriptor batch", std::string(100, 'x'),
       [&](const util::HostPort& at) {
         hydrate_microdescriptors(consensus, at, kTimeoutMs);
         return text(consensus.relays[0].ntor_onion_key.to_bytes());
       },
       ""},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    LoopbackServer server([&](int client) {
      LoopbackServer::answer("HTTP/1.0 200 OK\r\n\r\n")(client);
      for (char byte : c.body) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kTimeoutMs / 3));
        if (::send(client, &byte, 1, MSG_NOSIGNAL) != 1) return;
      }
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(outcome([&] { return c.fetch(server.endpoint()); }), c.body_or_error);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(c.held_ms));
    EXPECT_LT(elapsed, std::chrono::milliseconds(c.held_ms + 500));
  }
}

TEST(HttpGetDirect, ConnectFailureIsPassedOn) {
  u16 port = 0;
  ::close(mistgrove_test::bind_loopback(port, -1));
  const util::HostPort closed{"127.0.0.1", port};
  EXPECT_EQ(error_of([&] { http_get_direct(closed, "/", 2000); }),
            "tcp connect failed to 127.0.0.1:" + std::to_string(port) + ": " +
                error::os_error_text(ECONNREFUSED));
}

}  // namespace
}  // namespace mistgrove_core::directory
