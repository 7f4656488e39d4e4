// Session options, creation from a loopback directory or a file and its
// failures, the poisoned consensus lock, and the GET text of requests.
#include "mistgrove_core/session.h"

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <thread>

#include "base/test_support.h"
#include "mistgrove_core/crypto.h"

namespace mistgrove_core {
namespace {

using mistgrove_test::error_of;

constexpr const char* kConsensusPath = "/tor/status-vote/current/consensus-microdesc";

// An HTTP server on 127.0.0.1: one request per connection, the response
// chosen by the request path; the paths are recorded.
class Directory {
 public:
  explicit Directory(std::function<std::string(const std::string& path)> answer) {
    listen_fd_ = mistgrove_test::bind_loopback(port_, 16);
    thread_ = std::thread([this, answer] {
      for (pollfd p{listen_fd_, POLLIN, 0}; !stop_;) {
        if (::poll(&p, 1, 20) != 1) continue;
        const int fd = ::accept(listen_fd_, nullptr, nullptr);
        std::string request;
        char buf[4096];
        for (ssize_t n; request.find("\r\n\r\n") == std::string::npos &&
                        (n = ::recv(fd, buf, sizeof buf, 0)) > 0;)
          request.append(buf, static_cast<std::size_t>(n));
        const std::size_t start = request.find(' ') + 1;
        const std::string path = request.substr(start, request.find(' ', start) - start);
        {
          std::lock_guard lock(mutex_);
          paths_.push_back(path);
        }
        const std::string response = answer(path);
        ::send(fd, response.data(), response.size(), MSG_NOSIGNAL);
        ::close(fd);
      }
    });
  }
  ~Directory() {
    stop_ = true;
    thread_.join();
    ::close(listen_fd_);
  }
  std::string endpoint() const { return fmt::format("127.0.0.1:{}", port_); }
  u16 port() const { return port_; }
  std::vector<std::string> paths() const {
    std::lock_guard lock(mutex_);
    return paths_;
  }

 private:
  int listen_fd_ = -1;
  u16 port_ = 0;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::vector<std::string> paths_;
  std::thread thread_;
};

std::string ok(const std::string& body) { return "HTTP/1.0 200 OK\r\n\r\n" + body; }
const std::string kNotFound = "HTTP/1.0 404 Not Found\r\n\r\n";

std::string microdesc(u8 seed) {
  return fmt::format("onion-key\nntor-onion-key {}\nid ed25519 {}\n",
                     util::base64_encode_unpadded(Bytes(32, seed)),
                     util::base64_encode_unpadded(Bytes(32, seed + 1)));
}

std::string digest_of(const std::string& text) {
  return util::base64_encode_unpadded(crypto::sha256(util::from_string(text)));
}

// A microdescriptor consensus of two HSDir relays whose directories are at
// `dir_port`; `flags` lets a test take HSDir away.
std::string consensus_doc(u16 dir_port, const std::string& first_nickname = "alpha",
                          const std::string& flags = "Fast HSDir Running Stable V2Dir Valid") {
  std::string doc =
      "network-status-version 3 microdesc\nvote-status consensus\n"
      "valid-after 2026-12-05 18:00:00\nfresh-until 2026-12-05 19:00:00\n";
  const std::string names[] = {first_nickname, "beta"};
  for (int i = 0; i < 2; ++i)
    doc += fmt::format(
        "r {} AAAAAAAAAAAAAAAAAAAAAAAAAAA 2026-12-05 17:00:00 127.0.0.1 {} {}\nm {}\ns {}\n",
        names[i], 9001 + i, dir_port, digest_of(microdesc(10 * i)), flags);
  return doc + "directory-footer\n";
}

// A directory that serves the consensus and both microdescriptors.
std::function<std::string(const std::string&)> directory_of(const u16& port) {
  return [&port](const std::string& path) {
    if (path == kConsensusPath) return ok(consensus_doc(port));
    if (path.rfind("/tor/micro/d/", 0) == 0) return ok(microdesc(0) + microdesc(10));
    return kNotFound;
  };
}

std::string write_temp(const std::string& name, const std::string& content) {
  const std::string path = ::testing::TempDir() + name;
  std::ofstream(path, std::ios::binary) << content;
  return path;
}

TEST(OptionsForSession, Bootstrap) {
  const std::pair<const char*, const char*> kCases[] = {
      {"127.0.0.1:9030", "127.0.0.1 9030"},
      {"[::1]:80", "::1 80"},
      {"127.0.0.1", "missing port"},
      {"127.0.0.1:0", "missing port"},
      {"", "empty host"},
      {":80", "missing host"},
      {"host:x", "invalid digit found in string"},
  };
  for (const auto& [bootstrap, outcome] : kCases) {
    EXPECT_EQ(mistgrove_test::outcome([&] {
                const Options o = Options::for_session(bootstrap, "f", -7, true);
                EXPECT_EQ(std::tie(o.consensus_file, o.timeout_ms, o.verbose),
                          std::tuple("f", -7, true));
                return fmt::format("{} {}", o.bootstrap.host, o.bootstrap.port);
              }),
              outcome);
  }
}

TEST(SessionCreate, FromTheDirectoryOrAFileThenMicrodescriptors) {
  u16 port = 0;
  Directory directory(directory_of(port));
  port = directory.port();
  const std::string file = write_temp("session_consensus.txt", consensus_doc(port, "bad\xff"));
  const std::string micro_path =
      "/tor/micro/d/" + digest_of(microdesc(0)) + "-" + digest_of(microdesc(10));
  for (const std::string& consensus_file : {std::string(), file}) {
    SCOPED_TRACE(consensus_file);
    const directory::Consensus consensus =
        Session::create(directory.endpoint(), consensus_file, 5000, false)->consensus();
    ASSERT_EQ(consensus.relays.size(), 2u);
    for (int i = 0; i < 2; ++i) {
      EXPECT_EQ(consensus.relays[i].ntor_onion_key, Bytes(32, static_cast<u8>(10 * i)));
      EXPECT_EQ(consensus.relays[i].ed25519_id, Bytes(32, static_cast<u8>(10 * i + 1)));
    }
    EXPECT_EQ(consensus.relays[0].nickname, consensus_file.empty() ? "alpha" : "bad\xEF\xBF\xBD");
  }
  EXPECT_EQ(directory.paths(), (std::vector<std::string>{kConsensusPath, micro_path, micro_path}));
  std::remove(file.c_str());
}

TEST(SessionCreate, ReportsEachFailure) {
  u16 port = 0;
  Directory directory(directory_of(port));
  port = directory.port();
  Directory web([](const std::string&) { return kNotFound; });
  const std::string no_hsdir =
      write_temp("no_hsdir.txt", consensus_doc(port, "a", "Running Valid"));
  const std::string empty_file = write_temp("session_empty.txt", "");
  const std::string missing = ::testing::TempDir() + "no/such/consensus";
  struct Case {
    std::string bootstrap, file, message;
  } const kCases[] = {
      {directory.endpoint(), missing, "failed to open " + missing},
      {directory.endpoint(), ::testing::TempDir(), "failed to open " + ::testing::TempDir()},
      {"127.0.0.1", empty_file, "missing port"},
      {web.endpoint(), "", "HTTP request failed: HTTP/1.0 404 Not Found"},
      {"127.0.0.1:1", "", "tcp connect failed to 127.0.0.1:1: Connection refused (os error 111)"},
      {directory.endpoint(), empty_file, "consensus missing valid-after"},
      {directory.endpoint(), no_hsdir, "consensus has no microdescriptor digests to fetch"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.message);
    EXPECT_EQ(error_of([&] { Session::create(c.bootstrap, c.file, 2000, false); }), c.message);
  }
  EXPECT_TRUE(directory.paths().empty());  // no failure above reached the directory
  std::remove(no_hsdir.c_str());
  std::remove(empty_file.c_str());
}

TEST(GuardedConsensus, FailureInsideTheLockPoisonsItForGood) {
  directory::Consensus consensus;
  consensus.valid_after = 42;
  GuardedConsensus guarded(consensus);
  EXPECT_EQ(guarded.copy().valid_after, 42);
  EXPECT_THROW(guarded.with([](const directory::Consensus&) -> int { throw std::bad_alloc(); }),
               std::bad_alloc);
  for (int i = 0; i < 2; ++i)
    EXPECT_EQ(error_of([&] { guarded.copy(); }), "consensus lock poisoned");
}

TEST(BuildSimpleHttpGet, ExactRequestText) {
  const struct {
    const char *host, *path, *request;
  } kCases[] = {
      {"ABCdef.ONION", "", "GET / HTTP/1.0\r\nHost: abcdef.onion\r\nConnection: close\r\n\r\n"},
      {"h", "index.html", "GET /index.html HTTP/1.0\r\nHost: h\r\nConnection: close\r\n\r\n"},
      {"\xC3\x89Z9", "//x?y=%20",
       "GET //x?y=%20 HTTP/1.0\r\nHost: \xC3\x89z9\r\nConnection: close\r\n\r\n"},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(mistgrove_test::text(build_simple_http_get(c.host, c.path)), c.request);
  }
}

}  // namespace
}  // namespace mistgrove_core
