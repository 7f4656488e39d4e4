// Session creation (consensus fetch, parse, microdescriptor completion) and
// onion-service requests against the private Tor network. Run under
// tests/testnet/testnet.py, which sets MISTGROVE_TESTNET; --rounds=N repeats
// the creation measurements (default 5), --requests=N the requests.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <vector>

#include "bench.h"
#include "mistgrove_core/hs.h"
#include "mistgrove_core/log.h"
#include "mistgrove_core/session.h"
#include "mistgrove_core/tor.h"
#include "testnet_state.h"

namespace {

using namespace mistgrove_core;
using Clock = std::chrono::steady_clock;
using mistgrove_bench::cpu_seconds;

mistgrove_test::TestnetState testnet_state() {
  auto state = mistgrove_test::load_testnet_state();
  if (!state) throw std::runtime_error("MISTGROVE_TESTNET is not set (run under testnet.py)");
  return *state;
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

// One step of a request, timed on the clock and in process CPU time.
struct Stage {
  const char* name;
  std::vector<double> wall{}, cpu{};
  template <typename F>
  void run(F&& fn) {
    const double cpu_start = cpu_seconds();
    wall.push_back(timed(fn));
    cpu.push_back(cpu_seconds() - cpu_start);
  }
};

int rounds(const mistgrove_bench::Args& args) { return std::stoi(args.get("rounds", "5")); }

}  // namespace

MG_BENCH("session_create") {
  mistgrove_test::TestnetState state = testnet_state();
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
    parse.push_back(
        timed([&] { consensus = directory::parse_consensus(util::to_string_lossy(document)); }));
    relays = consensus.relays.size();
    hydrate.push_back(
        timed([&] { directory::hydrate_microdescriptors(consensus, options.bootstrap, 30000); }));
    double cpu_start = cpu_seconds();
    total_fetch.push_back(timed([&] { Session::create(authority, "", 30000, false); }));
    cpu.push_back(cpu_seconds() - cpu_start);
    total_file.push_back(
        timed([&] { Session::create(authority, state["consensus_file"].text(), 30000, false); }));
  }
  std::printf("   consensus of %zu relays\n", relays);
  print_ms("consensus fetch (plain HTTP)", fetch);
  print_ms("consensus parse", parse);
  print_ms("microdescriptor completion", hydrate);
  print_ms("Session::create from DirPort", total_fetch);
  print_ms("  its process CPU time", cpu);
  print_ms("Session::create from file", total_file);
}

namespace {

// A session on the fixture's consensus file (it carries the shared random
// value the service placed its descriptor with) and the page request.
struct PageTarget {
  std::shared_ptr<Session> session;
  std::string onion;
  u16 port;
  Bytes request;
};

PageTarget page_target(const mistgrove_test::TestnetState& state, const std::string& path) {
  PageTarget t{Session::create(state["authority_dirports"][0].text(),
                               state["consensus_file"].text(), 30000, false),
               state["onion_address"].text(),
               static_cast<u16>(state["onion_http_port"].integer()),
               {}};
  t.request = build_simple_http_get(t.onion, path);
  return t;
}

// One request with its log records, as offsets from its start.
void print_timeline(const PageTarget& t) {
  struct Record {
    double at;
    std::string target, message;
  };
  std::vector<Record> records;
  std::mutex mutex;
  const auto start = Clock::now();
  log::set_sink([&](log::Level, std::string_view target, std::string_view message) {
    std::lock_guard lock(mutex);
    records.push_back({std::chrono::duration<double>(Clock::now() - start).count(),
                       std::string(target), std::string(message)});
  });
  log::set_level(log::Level::Info);
  t.session->request(t.onion, t.port, t.request, 1 << 22);
  const double total = std::chrono::duration<double>(Clock::now() - start).count();
  log::set_level(log::Level::Off);
  log::set_sink(nullptr);
  std::printf("   timeline of one request (ms from the call):\n");
  for (const auto& r : records)
    std::printf("   %8.2f  %-28s %s\n", r.at * 1e3, r.target.c_str(), r.message.c_str());
  std::printf("   %8.2f  last byte\n", total * 1e3);
}

}  // namespace

MG_BENCH("request_page") {
  mistgrove_test::TestnetState state = testnet_state();
  PageTarget t = page_target(state, "/");
  const int n = std::stoi(args.get("requests", "20"));
  t.session->request(t.onion, t.port, t.request, 1 << 22);  // warm-up
  std::vector<double> wall;
  const double cpu_start = cpu_seconds();
  for (int i = 0; i < n; ++i)
    wall.push_back(timed([&] { t.session->request(t.onion, t.port, t.request, 1 << 22); }));
  const double cpu = cpu_seconds() - cpu_start;
  print_ms("small page, call to last byte", wall);
  std::printf("   process CPU time per request       %8.2f ms\n", cpu / n * 1e3);

  // Where the time goes: the steps of one request, each timed on the clock
  // and in process CPU time, and apart from them one link to the guard (a
  // request opens three: HSDir, rendezvous and introduction circuits).
  Stage keys_s{"address and period keys"}, descriptor_s{"descriptor fetch and decryption"},
      rendezvous_s{"rendezvous and introduction"}, stream_s{"stream: BEGIN, request, response"},
      link_s{"one TLS link and link handshake"};
  for (int i = 0; i < n / 2; ++i) {
    const directory::Consensus consensus = t.session->consensus();
    directory::HsPeriodKeys keys;
    keys_s.run([&] {
      keys = directory::derive_hs_period_keys(consensus, directory::parse_onion_address(t.onion));
    });
    hs::FetchedDescriptor fetched;
    descriptor_s.run(
        [&] { fetched = hs::fetch_hidden_service_descriptor(consensus, keys, 30000); });
    std::optional<hs::RendezvousStream> stream;
    rendezvous_s.run([&] {
      stream.emplace(hs::connect_onion_service_with_retries(
          t.session->options(), consensus, fetched.descriptor, keys, {fetched.guard}));
    });
    stream_s.run([&] {
      stream->begin(1, t.port);
      stream->exchange(1, t.request, 1 << 22);
    });
    link_s.run([&] { tor::TorChannel::open(fetched.guard.address, fetched.guard.or_port, 30000); });
  }
  for (const Stage* s : {&keys_s, &descriptor_s, &rendezvous_s, &stream_s, &link_s})
    print_ms(s->name, s->wall);
  std::printf("   process CPU time by stage (median):\n");
  for (const Stage* s : {&keys_s, &descriptor_s, &rendezvous_s, &stream_s, &link_s})
    std::printf("     %-32s %8.2f ms\n", s->name, summarize(s->cpu).median * 1e3);
  print_timeline(t);
}

MG_BENCH("request_big") {
  mistgrove_test::TestnetState state = testnet_state();
  PageTarget t = page_target(state, "/big.bin");
  const double body = static_cast<double>(state["big_length"].integer());
  std::vector<double> wall, cpu_per_mb;
  for (int i = 0; i < std::stoi(args.get("requests", "3")); ++i) {
    const double cpu_start = cpu_seconds();
    wall.push_back(timed([&] { t.session->request(t.onion, t.port, t.request, 1 << 23); }));
    cpu_per_mb.push_back((cpu_seconds() - cpu_start) / (body / 1e6));
  }
  print_ms("few-MiB file, call to last byte", wall);
  Summary s = summarize(wall);
  std::printf("   throughput (median request)        %8.2f MB/s  (%.1f MiB body)\n",
              body / s.median / 1e6, body / (1 << 20));
  print_ms("process CPU time per MB", cpu_per_mb);
}
