// Directory HTTP: the request text, response and chunked-body decoding, and
// http_get_direct against a real loopback server run by the test.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "base/test_support.h"
#include "mistgrove_core/directory.h"
#include "mistgrove_core/error.h"

namespace mistgrove_core::directory {
namespace {

using mistgrove_test::error_of;

Bytes bytes(std::string_view text) { return Bytes(text.begin(), text.end()); }
std::string text(const Bytes& data) { return std::string(data.begin(), data.end()); }

// --- request text ---

TEST(DirectoryRequest, ExactText) {
  EXPECT_EQ(directory_request_text("/tor/micro/d/a-b", "192.0.2.7"),
            "GET /tor/micro/d/a-b HTTP/1.0\r\nHost: 192.0.2.7\r\nUser-Agent: mistgrove/0\r\n"
            "Accept-Encoding: identity\r\nConnection: close\r\n\r\n");
}

// --- decode_http_body ---

struct DecodeCase {
  const char* name;
  std::string response;
  std::string body_or_error;  // the body, or the message when `fails`
  bool fails;
};

void run_decode_cases(const std::vector<DecodeCase>& cases,
                      const std::function<Bytes(ByteView)>& decode) {
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes input = bytes(c.response);
    if (c.fails) {
      EXPECT_EQ(error_of([&] { decode(input); }), c.body_or_error);
    } else {
      EXPECT_EQ(text(decode(input)), c.body_or_error);
    }
  }
}

TEST(DecodeHttpBody, StatusAndFraming) {
  run_decode_cases(
      {
          {"plain", "HTTP/1.0 200 OK\r\nServer: x\r\n\r\nhello", "hello", false},
          {"empty body", "HTTP/1.0 200 OK\r\n\r\n", "", false},
          {"content-length ignored", "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nhello", "hello",
           false},
          {"only first separator", "HTTP/1.0 200 OK\r\n\r\na\r\n\r\nb", "a\r\n\r\nb", false},
          {"404", "HTTP/1.0 404 Not Found\r\nX: y\r\n\r\nnope",
           "HTTP request failed: HTTP/1.0 404 Not Found", true},
          {"200 on another line", "HTTP/1.0 503 Busy\r\nX-Note: a 200 b\r\n\r\nbody", "body",
           false},
          {"200 without reason", "HTTP/1.0 200\r\nServer: x\r\n\r\nbody",
           "HTTP request failed: HTTP/1.0 200", true},
          {"head of one line", "garbage\r\n\r\n", "HTTP request failed: garbage", true},
          {"lossy first line", "HTTP/1.0 404 \xff\r\n\r\n",
           "HTTP request failed: HTTP/1.0 404 \xef\xbf\xbd", true},
          {"no blank line", "HTTP/1.0 200 OK\r\nServer: x\r\n", "malformed HTTP response", true},
          {"bare line feeds", "HTTP/1.0 200 OK\n\nbody", "malformed HTTP response", true},
          {"nothing", "", "malformed HTTP response", true},
          {"chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n",
           "abc", false},
          {"chunked upper case",
           "HTTP/1.1 200 OK\r\nTRANSFER-ENCODING: CHUNKED\r\n\r\n3\r\nabc\r\n0\r\n\r\n", "abc",
           false},
          {"chunked without space",
           "HTTP/1.1 200 OK\r\nTransfer-Encoding:chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n",
           "3\r\nabc\r\n0\r\n\r\n", false},
          {"chunked failure", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n9\r\nabc\r\n",
           "truncated chunk", true},
      },
      decode_http_body);
}

TEST(DecodeChunkedBody, SizesAndFraming) {
  const std::string d26 = "abcdefghijklmnopqrstuvwxyz";
  run_decode_cases(
      {
          {"lower hex", "1a\r\n" + d26 + "\r\n0\r\n\r\n", d26, false},
          {"upper hex", "1A\r\n" + d26 + "\r\n0\r\n\r\n", d26, false},
          {"plus sign", "+1a\r\n" + d26 + "\r\n0\r\n\r\n", d26, false},
          {"leading zeros", "001a\r\n" + d26 + "\r\n0\r\n\r\n", d26, false},
          {"spaces", " 1a \r\n" + d26 + "\r\n0\r\n\r\n", d26, false},
          {"unicode spaces",
           "\xc2\xa0"
           "1a\xe3\x80\x80\r\n" +
               d26 + "\r\n0\r\n\r\n",
           d26, false},
          {"extension", "1a;name=value\r\n" + d26 + "\r\n0\r\n\r\n", d26, false},
          {"two chunks", "3\r\nabc\r\n2\r\nde\r\n0\r\n\r\n", "abcde", false},
          {"trailers unread", "3\r\nabc\r\n0\r\nX: \xff\r\n\r\ngarbage", "abc", false},
          {"no last chunk", "3\r\nabc\r\n", "abc", false},
          {"other bytes after data", "3\r\nabcXY0\r\n\r\n", "abc", false},
          {"empty", "", "", false},
          {"stray byte", "3\r\nabc\r\nx", "bad chunked response", true},
          {"one byte", "3", "bad chunked response", true},
          {"no line end", "3abc", "bad chunked response", true},
          {"bare line feed", "3\nabc\n0\n\n", "bad chunked response", true},
          {"0x prefix", "0x1a\r\n" + d26 + "\r\n", "invalid digit found in string", true},
          {"minus", "-1\r\na\r\n", "invalid digit found in string", true},
          {"lone plus", "+\r\na\r\n", "invalid digit found in string", true},
          {"inner space", "1 a\r\na\r\n", "invalid digit found in string", true},
          {"empty size line", "\r\nabc\r\n", "cannot parse integer from empty string", true},
          {"only extension", " ;x\r\nabc\r\n", "cannot parse integer from empty string", true},
          {"17 digits", "fffffffffffffffff\r\nabc\r\n", "number too large to fit in target type",
           true},
          {"overflow before bad digit", "fffffffffffffffffz\r\nabc\r\n",
           "number too large to fit in target type", true},
          {"bad digit before overflow", "fzfffffffffffffffff\r\nabc\r\n",
           "invalid digit found in string", true},
          {"past the end", "6\r\nabc\r\n", "truncated chunk", true},
          {"data through the end", "5\r\nabc\r\n", "abc\r\n", false},
          {"near 2^64", "ffffffffffffffff\r\nabc\r\n", "truncated chunk", true},
          {"2^64 - 2", "fffffffffffffffe\r\nabc", "truncated chunk", true},
          {"invalid utf-8", "1\xff\r\na\r\n", "invalid utf-8 sequence of 1 bytes from index 1",
           true},
          {"incomplete utf-8", "1\xe2\x82\r\na\r\n", "incomplete utf-8 byte sequence from index 1",
           true},
      },
      decode_chunked_body);
}

// --- http_get_direct against a loopback server ---

// One listening socket on 127.0.0.1 and a thread that accepts one client,
// reads its request head and hands the connection to `serve`. Every wait is
// bounded, so a broken client cannot hang the test.
class LoopbackServer {
 public:
  using Serve = std::function<void(int client)>;

  explicit LoopbackServer(Serve serve) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        ::listen(listener_, 1) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      throw std::runtime_error("cannot listen on loopback");
    }
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this, serve = std::move(serve)] { run(serve); });
  }
  ~LoopbackServer() {
    if (thread_.joinable()) thread_.join();
    ::close(listener_);
  }

  u16 port() const { return port_; }
  // Waits for the server thread, then gives the request head it received.
  const std::string& request() {
    if (thread_.joinable()) thread_.join();
    return request_;
  }

  // Waits until the client closes its side (or 10 s pass), reading and
  // dropping whatever it sends.
  static void wait_for_close(int client) {
    char buf[256];
    pollfd p{client, POLLIN, 0};
    while (::poll(&p, 1, 10000) == 1 && ::recv(client, buf, sizeof buf, 0) > 0) {
    }
  }
  static void send_all(int client, std::string_view data) {
    while (!data.empty()) {
      const ssize_t n = ::send(client, data.data(), data.size(), MSG_NOSIGNAL);
      if (n <= 0) return;
      data.remove_prefix(static_cast<std::size_t>(n));
    }
  }

 private:
  void run(const Serve& serve) {
    pollfd p{listener_, POLLIN, 0};
    if (::poll(&p, 1, 10000) != 1) return;
    const int client = ::accept(listener_, nullptr, nullptr);
    if (client < 0) return;
    char c;
    pollfd in{client, POLLIN, 0};
    while (request_.find("\r\n\r\n") == std::string::npos && ::poll(&in, 1, 10000) == 1 &&
           ::recv(client, &c, 1, 0) == 1) {
      request_.push_back(c);
    }
    serve(client);
    ::close(client);
  }

  int listener_ = -1;
  u16 port_ = 0;
  std::string request_;
  std::thread thread_;
};

LoopbackServer::Serve answer(std::string response) {
  return
      [response = std::move(response)](int client) { LoopbackServer::send_all(client, response); };
}

util::HostPort loopback(u16 port) { return {"127.0.0.1", port}; }

TEST(HttpGetDirect, SendsExactRequestAndReturnsBody) {
  LoopbackServer server(answer("HTTP/1.0 200 OK\r\nContent-Length: 1\r\n\r\nplain body"));
  EXPECT_EQ(text(http_get_direct(loopback(server.port()),
                                 "/tor/status-vote/current/consensus-microdesc", 5000)),
            "plain body");
  EXPECT_EQ(server.request(),
            directory_request_text("/tor/status-vote/current/consensus-microdesc", "127.0.0.1"));
}

TEST(HttpGetDirect, ServerOutcomes) {
  struct Case {
    const char* name;
    LoopbackServer::Serve serve;
    i32 timeout_ms;
    std::string body_or_error;
    bool fails;
  } cases[] = {
      {"chunked",
       answer("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n6\r\n "
              "world\r\n0\r\n\r\n"),
       5000, "hello world", false},
      {"404", answer("HTTP/1.0 404 Not Found\r\nContent-Type: text/plain\r\n\r\nno such document"),
       5000, "HTTP request failed: HTTP/1.0 404 Not Found", true},
      {"closes without answer", [](int) {}, 5000, "malformed HTTP response", true},
      {"closes inside the head", answer("HTTP/1.0 200 OK\r\nServ"), 5000, "malformed HTTP response",
       true},
      {"resets",
       [](int client) {
         const linger hard{1, 0};
         ::setsockopt(client, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
       },
       5000, error::os_error_text(ECONNRESET), true},
      {"never answers", LoopbackServer::wait_for_close, 200, error::os_error_text(EAGAIN), true},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    LoopbackServer server(c.serve);
    const auto start = std::chrono::steady_clock::now();
    if (c.fails) {
      EXPECT_EQ(error_of([&] { http_get_direct(loopback(server.port()), "/x", c.timeout_ms); }),
                c.body_or_error);
    } else {
      EXPECT_EQ(text(http_get_direct(loopback(server.port()), "/x", c.timeout_ms)),
                c.body_or_error);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  }
}

// A response that reaches 8 MiB ends the reading although the server keeps
// the connection open: without the cap this would wait for the time-out.
TEST(HttpGetDirect, StopsReadingAtCap) {
  const std::string head = "HTTP/1.0 200 OK\r\n\r\n";
  const std::size_t cap = 8388608;
  LoopbackServer server([&](int client) {
    LoopbackServer::send_all(client, head + std::string(cap - head.size(), 'x'));
    LoopbackServer::wait_for_close(client);
  });
  EXPECT_EQ(http_get_direct(loopback(server.port()), "/big", 5000).size(), cap - head.size());
}

// A loopback port with no listener: bound once to learn it, then closed.
u16 unused_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), len);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

TEST(HttpGetDirect, ConnectFailureIsPassedOn) {
  const u16 port = unused_port();
  EXPECT_EQ(error_of([&] { http_get_direct(loopback(port), "/", 2000); }),
            "tcp connect failed to 127.0.0.1:" + std::to_string(port) + ": " +
                error::os_error_text(ECONNREFUSED));
  EXPECT_EQ(error_of([&] { http_get_direct(loopback(port), "/", -1); }),
            "timeout must be non-negative");
}

}  // namespace
}  // namespace mistgrove_core::directory
