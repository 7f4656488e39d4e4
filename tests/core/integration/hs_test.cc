// The onion-service client steps against the private network's service: the
// descriptor over BEGIN_DIR, rendezvous and introduction, and a stream that
// carries the few-MiB file byte for byte under authenticated SENDMEs.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <vector>

#include "integration/testnet_state.h"
#include "mistgrove_core/hs.h"
#include "mistgrove_core/log.h"
#include "mistgrove_core/session.h"

namespace mistgrove_core::hs {
namespace {

using mistgrove_test::Json;
using mistgrove_test::read_whole_file;
using Clock = std::chrono::steady_clock;

constexpr i32 kTimeoutMs = 15000;

struct Service {
  std::shared_ptr<Session> session;
  directory::Consensus consensus;
  directory::HsPeriodKeys keys;
  std::string onion;
};

// The session reads the consensus file that carries the disaster shared
// random value the young network's service placed its descriptor with.
Service service_of(const Json& state) {
  Service s;
  s.session = Session::create(state["authority_dirports"][0].text(),
                              state["consensus_file"].text(), kTimeoutMs, false);
  s.consensus = s.session->consensus();
  s.onion = state["onion_address"].text();
  s.keys = directory::derive_hs_period_keys(s.consensus, directory::parse_onion_address(s.onion));
  return s;
}

Options options() {
  Options o;
  o.timeout_ms = kTimeoutMs;
  return o;
}

Bytes http_get(std::string_view onion, std::string_view path) {
  return build_simple_http_get(onion, path);
}

// Records the hs and circuit log lines of one request with the time since
// the recorder was made, to show where a request spends its time.
class StepClock {
 public:
  StepClock() : start_(Clock::now()) {
    log::set_sink([this](log::Level, std::string_view target, std::string_view message) {
      std::lock_guard lock(mutex_);
      lines_.push_back(fmt::format("{:7.1f} ms  [{}] {}", elapsed_ms(), target, message));
    });
    log::set_level(log::Level::Info);
  }
  ~StepClock() {
    log::set_level(log::Level::Off);
    log::set_sink(nullptr);
  }
  double elapsed_ms() const {
    return std::chrono::duration<double, std::milli>(Clock::now() - start_).count();
  }
  void mark(std::string_view what) { log::info("test", "{}", what); }
  void print() const {
    for (const std::string& line : lines_) std::printf("%s\n", line.c_str());
  }

 private:
  Clock::time_point start_;
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

TEST(HsOnTestnet, DescriptorOverBeginDir) {
  TESTNET_STATE_OR_SKIP(state);
  Service s = service_of(*state);
  EXPECT_EQ(s.keys.period_num, static_cast<u64>((*state)["period_num"].integer()));
  FetchedDescriptor fetched = fetch_hidden_service_descriptor(s.consensus, s.keys, kTimeoutMs);
  ASSERT_FALSE(fetched.descriptor.intro_points.empty());
  for (const IntroductionPoint& point : fetched.descriptor.intro_points) {
    directory::Relay intro = intro_point_relay(point);
    EXPECT_EQ(intro.address, "127.0.0.1");
  }
  EXPECT_TRUE(directory::relay_usable_rendezvous(fetched.guard));
}

TEST(HsOnTestnet, BigFileByteExactOverOneStream) {
  TESTNET_STATE_OR_SKIP(state);
  Service s = service_of(*state);
  const std::string big = read_whole_file((*state)["big_path"].text());
  const std::string head = "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n"
                           "Content-Length: " + std::to_string(big.size()) +
                           "\r\nConnection: close\r\n\r\n";

  StepClock clock;
  FetchedDescriptor fetched = fetch_hidden_service_descriptor(s.consensus, s.keys, kTimeoutMs);
  RendezvousStream stream = connect_onion_service_with_retries(
      options(), s.consensus, fetched.descriptor, s.keys, {fetched.guard});
  stream.begin(1, static_cast<u16>((*state)["onion_http_port"].integer()));
  stream.send_data(1, http_get(s.onion, "/big.bin"));
  Bytes response = stream.read_until_end(1, head.size() + big.size());
  clock.mark("last byte");
  clock.print();

  const Bytes expected = util::from_string(head + big);
  ASSERT_EQ(response.size(), expected.size());
  EXPECT_TRUE(response == expected) << "same length, different bytes";
  std::printf("%zu bytes in %.0f ms\n", response.size(), clock.elapsed_ms());
}

TEST(HsOnTestnet, StreamFailures) {
  TESTNET_STATE_OR_SKIP(state);
  Service s = service_of(*state);
  FetchedDescriptor fetched = fetch_hidden_service_descriptor(s.consensus, s.keys, kTimeoutMs);
  RendezvousStream stream = connect_onion_service_with_retries(
      options(), s.consensus, fetched.descriptor, s.keys, {fetched.guard});
  const Bytes page = util::from_string(read_whole_file((*state)["page_response_path"].text()));
  const u16 port = static_cast<u16>((*state)["onion_http_port"].integer());
  stream.begin(1, port);
  stream.send_data(1, http_get(s.onion, "/"));
  try {
    stream.read_until_end(1, page.size() - 1);
    ADD_FAILURE() << "no error";
  } catch (const error::Error& e) {
    EXPECT_STREQ(e.what(), "stream response too large");
  }
}

}  // namespace
}  // namespace mistgrove_core::hs
