// The link and circuit layers against the private Tor network's relays: link
// handshake (its log names the version), CREATE_FAST, ntor extensions, a
// directory fetch over BEGIN_DIR through three hops with both kinds of
// SENDME, and failures of real peers.
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "base/test_support.h"
#include "circuit_paths.h"
#include "mistgrove_core/log.h"
#include "mistgrove_core/net.h"

namespace mistgrove_core {
namespace {

using circuit::Circuit;
using directory::decode_http_body;
using directory::Relay;
using mistgrove_test::DirStreams;
using mistgrove_test::error_of;
using mistgrove_test::Routers;
using tor::TorChannel;

constexpr i32 kTimeoutMs = 10000;
constexpr const char* kConsensusPath = "/tor/status-vote/current/consensus-microdesc";

// Forwards one client connection to a relay's OR port until frozen; frozen,
// it keeps both sockets open and moves no byte: a relay that stopped.
class StallingProxy {
 public:
  StallingProxy(const std::string& host, u16 port) {
    listen_fd_ = mistgrove_test::bind_loopback(port_, 1);
    thread_ = std::thread([this, host, port] {
      pollfd listener{listen_fd_, POLLIN, 0};
      while (!stop_ && ::poll(&listener, 1, 50) != 1) {
      }
      if (stop_) return;
      net::TcpStream client(::accept(listen_fd_, nullptr, nullptr));
      net::TcpStream relay = net::connect_tcp(host, port, kTimeoutMs);
      pollfd fds[2] = {{client.fd(), POLLIN, 0}, {relay.fd(), POLLIN, 0}};
      char buf[16384];
      while (!stop_) {
        if (frozen_ || ::poll(fds, 2, 50) <= 0) {
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
          continue;
        }
        for (int i = 0; i < 2; ++i) {
          if (!(fds[i].revents & (POLLIN | POLLHUP))) continue;
          ssize_t n = ::recv(fds[i].fd, buf, sizeof buf, 0);
          if (n <= 0 || ::send(fds[1 - i].fd, buf, n, MSG_NOSIGNAL) != n) return;
        }
      }
    });
  }
  ~StallingProxy() {
    stop_ = true;
    thread_.join();
    ::close(listen_fd_);
  }
  u16 port() const { return port_; }
  void freeze() { frozen_ = true; }

 private:
  int listen_fd_ = -1;
  u16 port_ = 0;
  std::atomic<bool> stop_{false}, frozen_{false};
  std::thread thread_;
};

Circuit three_hops(const Routers& net, u16 guard_port = 0, i32 timeout_ms = kTimeoutMs) {
  const Relay& guard = net.named("relay1");
  Circuit circ = Circuit::create_fast(
      TorChannel::open(guard.address, guard_port ? guard_port : guard.or_port, timeout_ms),
      timeout_ms);
  circ.extend_ntor(net.named("relay2"));
  circ.extend_ntor(net.named("auth1"));
  return circ;
}

Bytes plain_get(const Routers& net, const std::string& path) {
  return directory::http_get_direct(net.authority, path, kTimeoutMs);
}

// The vote digests the consensus names, joined for one request of all votes.
std::string votes_path(const Bytes& consensus) {
  std::string text = util::to_string_lossy(consensus), path = "/tor/status-vote/current/d/";
  for (std::size_t at = text.find("\nvote-digest "); at != std::string::npos;
       at = text.find("\nvote-digest ", at + 1))
    path += text.substr(at + 13, 40) + "+";
  path.pop_back();
  return path;
}

TEST(LinkCircuit, BeginDirThroughThreeHopsMatchesThePlainFetch) {
  TESTNET_STATE_OR_SKIP(state);
  Routers net = mistgrove_test::load_routers(*state);
  std::vector<std::string> link_log;
  log::set_sink([&](log::Level, std::string_view target, std::string_view message) {
    if (target == "mistgrove_core::tor") link_log.emplace_back(message);
  });
  log::set_level(log::Level::Info);
  Circuit circ = three_hops(net);
  log::set_level(log::Level::Off);
  log::set_sink(nullptr);
  EXPECT_EQ(link_log,
            (std::vector<std::string>{
                fmt::format("opening Tor TLS channel to 127.0.0.1:{}", net.named("relay1").or_port),
                "negotiated Tor link protocol v5"}));
  ASSERT_EQ(circ.hop_count(), 3u);
  DirStreams dir(circ);
  // The authorities vote every minute, so a new consensus may land between
  // two fetches: the circuit's copy must equal the one fetched just before or
  // after. Its votes (about 25 KB, over the 50 cells that make a stream-level
  // SENDME due) are served only until the next consensus. Requests padded to
  // 60 cells make the relay send SENDMEs of both kinds too.
  constexpr std::size_t kPad = 30000;
  for (int attempt = 0; attempt < 3 && dir.sent_stream_sendmes == 0; ++attempt) {
    const Bytes before = plain_get(net, kConsensusPath);
    const Bytes consensus = decode_http_body(dir.get(kConsensusPath, kPad));
    EXPECT_TRUE(consensus == before || consensus == plain_get(net, kConsensusPath));
    dir.get(votes_path(consensus), kPad);
  }
  // More cells for further circuit-level SENDMEs: the relays close a circuit
  // on a version-1 SENDME with a wrong digest (the next test), so every fetch
  // after one proves it was accepted.
  const Bytes descriptors = plain_get(net, "/tor/server/all");
  while (dir.sent_circuit_sendmes < 3)
    EXPECT_EQ(decode_http_body(dir.get("/tor/server/all")), descriptors);
  EXPECT_FALSE(decode_http_body(dir.get(kConsensusPath)).empty());
  EXPECT_GE(dir.sent_stream_sendmes, 1);
  EXPECT_GE(dir.got_circuit_sendmes, 1);
  EXPECT_GE(dir.got_stream_sendmes, 2);
}

TEST(LinkCircuit, RelayRefusesASendmeWithAWrongDigest) {
  TESTNET_STATE_OR_SKIP(state);
  Routers net = mistgrove_test::load_routers(*state);
  Circuit circ = three_hops(net);
  DirStreams dir(circ);
  dir.corrupt_circuit_sendmes = true;
  EXPECT_EQ(error_of([&] {
              while (dir.sent_circuit_sendmes < 2) dir.get("/tor/server/all");
            }),
            "circuit destroyed");
  EXPECT_EQ(dir.sent_circuit_sendmes, 1);
}

TEST(LinkCircuit, RelayThatStopsMidCircuitFailsWithinTheTimeout) {
  TESTNET_STATE_OR_SKIP(state);
  Routers net = mistgrove_test::load_routers(*state);
  const Relay& guard = net.named("relay1");
  StallingProxy proxy(guard.address, guard.or_port);
  Circuit circ = three_hops(net, proxy.port(), 1500);
  DirStreams dir(circ);
  EXPECT_FALSE(dir.get(kConsensusPath).empty());
  proxy.freeze();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(error_of([&] { dir.get(kConsensusPath); }), "timed out waiting for DATA");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
}

}  // namespace
}  // namespace mistgrove_core
