// The onion-service client steps against the private network's service: the
// descriptor over BEGIN_DIR, rendezvous and introduction, and a stream that
// carries the few-MiB file byte for byte under authenticated SENDMEs.
#include "mistgrove_core/hs.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <vector>

#include "integration/testnet_state.h"
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
  s.session = Session::create(state["authority_dirports"][0].text(), state["consensus_file"].text(),
                              kTimeoutMs, false);
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

// The client steps of one request: descriptor, rendezvous, one stream.
Bytes fetch(const Service& s, u16 port, std::string_view path, u64 limit) {
  FetchedDescriptor fetched = fetch_hidden_service_descriptor(s.consensus, s.keys, kTimeoutMs);
  RendezvousStream stream = connect_onion_service_with_retries(
      options(), s.consensus, fetched.descriptor, s.keys, {fetched.guard});
  stream.begin(1, port);
  stream.send_data(1, build_simple_http_get(s.onion, path));
  return stream.read_until_end(1, limit);
}

u16 http_port(const Json& state) { return static_cast<u16>(state["onion_http_port"].integer()); }

// Log records (all targets) with the time since the clock was made, to show
// where a request spends its time.
class StepClock {
 public:
  StepClock() : start_(Clock::now()) {
    log::set_sink([this](log::Level, std::string_view target, std::string_view message) {
      std::lock_guard lock(mutex_);
      records_.push_back({elapsed_ms(), fmt::format("[{}] {}", target, message)});
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
  // When the first record containing `text` was written.
  double at(std::string_view text) const {
    for (const auto& [ms, line] : records_)
      if (line.find(text) != std::string::npos) return ms;
    ADD_FAILURE() << "no log record " << text;
    return 0;
  }
  void print() const {
    for (const auto& [ms, line] : records_) std::printf("%8.1f ms  %s\n", ms, line.c_str());
  }

 private:
  Clock::time_point start_;
  std::mutex mutex_;
  std::vector<std::pair<double, std::string>> records_;
};

double thread_cpu_ms() {
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);
  return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

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
  const std::string head =
      "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n"
      "Content-Length: " +
      std::to_string(big.size()) + "\r\nConnection: close\r\n\r\n";

  StepClock clock;
  Bytes response = fetch(s, http_port(*state), "/big.bin", head.size() + big.size());
  const double total_ms = clock.elapsed_ms();
  clock.print();

  const Bytes expected = util::from_string(head + big);
  ASSERT_EQ(response.size(), expected.size());
  EXPECT_TRUE(response == expected) << "same length, different bytes";
  std::printf("%zu bytes in %.0f ms\n", response.size(), total_ms);
}

// Twenty page requests, each byte for byte; prints the median time of each
// step and the CPU time of this thread per request.
TEST(HsOnTestnet, WhereTheTimeOfARequestGoes) {
  TESTNET_STATE_OR_SKIP(state);
  Service s = service_of(*state);
  const Bytes page = util::from_string(read_whole_file((*state)["page_response_path"].text()));
  // Steps end at these records; the last ends when the response is complete.
  const char* const kSteps[][2] = {
      {"descriptor fetch", "decrypted"},
      {"rendezvous point", "established"},
      {"introduction", "waiting for RENDEZVOUS2"},
      {"RENDEZVOUS2", "rendezvous with the onion service complete"},
      {"BEGIN to CONNECTED", "stream 1 to port"},
      {"request and response", ""},
  };
  constexpr int kRequests = 20;
  std::vector<std::vector<double>> step_ms(std::size(kSteps));
  std::vector<double> total_ms, cpu_ms;
  for (int r = 0; r < kRequests; ++r) {
    StepClock clock;
    const double cpu = thread_cpu_ms();
    EXPECT_EQ(fetch(s, http_port(*state), "/", page.size()), page);
    cpu_ms.push_back(thread_cpu_ms() - cpu);
    total_ms.push_back(clock.elapsed_ms());
    double before = 0;
    for (std::size_t i = 0; i < std::size(kSteps); ++i) {
      double end = *kSteps[i][1] ? clock.at(kSteps[i][1]) : total_ms.back();
      step_ms[i].push_back(end - before);
      before = end;
    }
  }
  auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
  };
  for (std::size_t i = 0; i < std::size(kSteps); ++i)
    std::printf("%-22s median %6.1f ms\n", kSteps[i][0], median(step_ms[i]));
  std::printf("%-22s median %6.1f ms, min %.1f, max %.1f\n", "whole request", median(total_ms),
              *std::min_element(total_ms.begin(), total_ms.end()),
              *std::max_element(total_ms.begin(), total_ms.end()));
  std::printf("%-22s median %6.1f ms\n", "CPU of this thread", median(cpu_ms));
}

}  // namespace
}  // namespace mistgrove_core::hs
