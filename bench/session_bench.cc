// Session creation against the private Tor network (consensus fetch, parse,
// microdescriptor completion). Run under tests/testnet/testnet.py, which sets
// MISTGROVE_TESTNET; --rounds=N repeats each measurement (default 5).
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <vector>

#include "../tests/core/integration/testnet_state.h"
#include "bench.h"
#include "mistgrove_core/session.h"

namespace {

using namespace mistgrove_core;
using Clock = std::chrono::steady_clock;

mistgrove_test::Json testnet_state() {
  auto state = mistgrove_test::load_testnet_state();
  if (!state) throw std::runtime_error("MISTGROVE_TESTNET is not set (run under testnet.py)");
  return *state;
}

double cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto secs = [](const timeval& tv) { return tv.tv_sec + tv.tv_usec / 1e6; };
  return secs(usage.ru_utime) + secs(usage.ru_stime);
}

// Wall-clock seconds of fn.
template <typename F>
double timed(F&& fn) {
  auto start = Clock::now();
  fn();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Summary {
  double median, min, max;
};

Summary summarize(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  std::size_t n = samples.size();
  double median = n % 2 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
  return {median, samples.front(), samples.back()};
}

void print_ms(const char* what, const std::vector<double>& samples) {
  Summary s = summarize(samples);
  std::printf("   %-34s median %8.2f ms  min %8.2f  max %8.2f  (n=%zu)\n", what, s.median * 1e3,
              s.min * 1e3, s.max * 1e3, samples.size());
}

int rounds(const mistgrove_bench::Args& args) { return std::stoi(args.get("rounds", "5")); }

}  // namespace

MG_BENCH("session_create") {
  mistgrove_test::Json state = testnet_state();
  const std::string authority = state["authority_dirports"][0].text();
  Options options = Options::for_session(authority, "", 30000, false);
  std::vector<double> fetch, parse, hydrate, total_fetch, total_file, cpu;
  std::size_t relays = 0;
  for (int r = 0; r < rounds(args); ++r) {
    Bytes document;
    directory::Consensus consensus;
    fetch.push_back(timed([&] {
      document = directory::http_get_direct(options.bootstrap,
                                            "/tor/status-vote/current/consensus-microdesc", 30000);
    }));
    parse.push_back(timed(
        [&] { consensus = directory::parse_consensus(util::to_string_lossy(document)); }));
    relays = consensus.relays.size();
    hydrate.push_back(
        timed([&] { directory::hydrate_microdescriptors(consensus, options.bootstrap, 30000); }));
    double cpu_start = cpu_seconds();
    total_fetch.push_back(timed([&] { Session::create(authority, "", 30000, false); }));
    cpu.push_back(cpu_seconds() - cpu_start);
    total_file.push_back(timed(
        [&] { Session::create(authority, state["consensus_file"].text(), 30000, false); }));
  }
  std::printf("   consensus of %zu relays\n", relays);
  print_ms("consensus fetch (plain HTTP)", fetch);
  print_ms("consensus parse", parse);
  print_ms("microdescriptor completion", hydrate);
  print_ms("Session::create from DirPort", total_fetch);
  print_ms("  its process CPU time", cpu);
  print_ms("Session::create from file", total_file);
}
