// A tiny HTTP server on 127.0.0.1 for tests: one thread, one request per
// connection, the answer chosen by a handler from the request path.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "base/test_support.h"

namespace mistgrove_test {

class LoopbackHttpServer {
 public:
  // The raw response (status line, headers, body) for a request path.
  using Handler = std::function<std::string(const std::string& path)>;

  explicit LoopbackHttpServer(Handler handler) : handler_(std::move(handler)) {
    listen_fd_ = bind_loopback(port_, 64);
    thread_ = std::thread([this] { serve(); });
  }
  ~LoopbackHttpServer() {
    stopping_ = true;
    thread_.join();
    ::close(listen_fd_);
  }
  LoopbackHttpServer(const LoopbackHttpServer&) = delete;
  LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

  unsigned short port() const { return port_; }
  std::string endpoint() const { return "127.0.0.1:" + std::to_string(port_); }

  // Paths requested so far, in arrival order.
  std::vector<std::string> paths() const {
    std::lock_guard lock(mutex_);
    return paths_;
  }

  static std::string ok(const std::string& body) {
    return "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n" + body;
  }
  static std::string not_found() { return "HTTP/1.0 404 Not Found\r\n\r\n"; }

 private:
  void serve() {
    while (!stopping_) {
      pollfd p{listen_fd_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      answer(fd);
      ::close(fd);
    }
  }

  void answer(int fd) {
    std::string request;
    char buf[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 2000) <= 0) return;
      ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) return;
      request.append(buf, static_cast<std::size_t>(n));
    }
    std::size_t start = request.find(' ') + 1;
    std::string path = request.substr(start, request.find(' ', start) - start);
    {
      std::lock_guard lock(mutex_);
      paths_.push_back(path);
    }
    std::string response = handler_(path);
    for (std::size_t sent = 0; sent < response.size();) {
      ssize_t n = ::send(fd, response.data() + sent, response.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return;
      sent += static_cast<std::size_t>(n);
    }
  }

  Handler handler_;
  int listen_fd_ = -1;
  unsigned short port_ = 0;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  std::vector<std::string> paths_;
  std::thread thread_;
};

}  // namespace mistgrove_test
