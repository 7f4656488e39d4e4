// Links and circuits against the private Tor network: time to open a link and
// build a three-hop circuit, and BEGIN_DIR throughput through three hops with
// the process's CPU time per MB. Run under tests/testnet/testnet.py (sets
// MISTGROVE_TESTNET); --rounds=N builds, --fetches=N directory requests.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <vector>

#include "bench.h"
#include "circuit_paths.h"
#include "mistgrove_core/tor.h"

namespace {

using namespace mistgrove_core;

// Wall-clock and process CPU seconds since construction.
struct Stopwatch {
  std::chrono::steady_clock::time_point wall0 = std::chrono::steady_clock::now();
  double cpu0 = mistgrove_bench::cpu_seconds();
  double wall() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
  }
  double cpu() const { return mistgrove_bench::cpu_seconds() - cpu0; }
};

mistgrove_test::Routers routers() {
  auto state = mistgrove_test::load_testnet_state();
  if (!state) throw std::runtime_error("MISTGROVE_TESTNET is not set (run under testnet.py)");
  return mistgrove_test::load_routers(*state);
}

void report_ms(const char* what, std::vector<double> s) {
  std::sort(s.begin(), s.end());
  std::printf("   %-28s median %7.2f ms  min %7.2f  max %7.2f  (n=%zu)\n", what,
              s[s.size() / 2] * 1e3, s.front() * 1e3, s.back() * 1e3, s.size());
}

}  // namespace

MG_BENCH("link_circuit_build") {
  mistgrove_test::Routers net = routers();
  const directory::Relay& guard = net.named("relay1");
  std::vector<double> link, fast, extend1, extend2, total, cpu;
  for (int r = 0, n = std::stoi(args.get("rounds", "20")); r < n; ++r) {
    Stopwatch whole, step;
    tor::TorChannel channel = tor::TorChannel::open(guard.address, guard.or_port, 10000);
    link.push_back(step.wall());
    step = Stopwatch();
    circuit::Circuit circ = circuit::Circuit::create_fast(std::move(channel), 10000);
    fast.push_back(step.wall());
    step = Stopwatch();
    circ.extend_ntor(net.named("relay2"));
    extend1.push_back(step.wall());
    step = Stopwatch();
    circ.extend_ntor(net.named("auth1"));
    extend2.push_back(step.wall());
    total.push_back(whole.wall());
    cpu.push_back(whole.cpu());
  }
  report_ms("TLS link + handshake", link);
  report_ms("CREATE_FAST", fast);
  report_ms("EXTEND2 to hop 2", extend1);
  report_ms("EXTEND2 to hop 3", extend2);
  report_ms("three-hop circuit in all", total);
  report_ms("  its process CPU time", cpu);
}

MG_BENCH("link_begin_dir_throughput") {
  mistgrove_test::Routers net = routers();
  const directory::Relay& guard = net.named("relay1");
  circuit::Circuit circ = circuit::Circuit::create_fast(
      tor::TorChannel::open(guard.address, guard.or_port, 10000), 10000);
  circ.extend_ntor(net.named("relay2"));
  circ.extend_ntor(net.named("auth1"));
  mistgrove_test::DirStreams dir(circ);
  const char* path = "/tor/server/all";
  dir.get(path);  // warm the relays' caches

  // Streams one after another (each waits for CONNECTED and its response),
  // then `--parallel` streams at a time sharing the circuit's window.
  int fetches = std::stoi(args.get("fetches", "100"));
  std::size_t parallel = std::stoul(args.get("parallel", "8"));
  for (std::size_t width : {std::size_t{1}, parallel}) {
    std::size_t bytes = 0;
    int cells0 = dir.data_cells, sendmes0 = dir.sent_circuit_sendmes;
    Stopwatch clock;
    for (int done = 0; done < fetches; done += static_cast<int>(width))
      for (const Bytes& r : dir.get_all(std::vector<std::string>(width, path))) bytes += r.size();
    double wall = clock.wall(), cpu = clock.cpu(), mb = bytes / 1e6;
    std::printf("   %zu stream(s) at a time: %.2f MB in %d DATA cells, %d circuit SENDMEs\n", width,
                mb, dir.data_cells - cells0, dir.sent_circuit_sendmes - sendmes0);
    std::printf("     throughput %.2f MB/s; process CPU %.1f ms per MB (%.1f%% of one core)\n",
                mb / wall, cpu * 1e3 / mb, 100 * cpu / wall);
  }
}
