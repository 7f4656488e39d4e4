// A minimal benchmark registry: each bench/*.cc registers named cases that
// mistgrove_bench runs (all, or those named on the command line).
#pragma once

#include <sys/resource.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace mistgrove_bench {

// Command-line settings shared by all cases: --key=value pairs.
struct Args {
  std::map<std::string, std::string> values;
  std::string get(const std::string& key, const std::string& fallback = "") const {
    auto it = values.find(key);
    return it == values.end() ? fallback : it->second;
  }
};

using Case = std::function<void(const Args&)>;
std::map<std::string, Case>& registry();

struct Registrar {
  Registrar(const std::string& name, Case run) { registry().emplace(name, std::move(run)); }
};

// User plus system CPU seconds of the whole process so far.
inline double cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto secs = [](const timeval& tv) { return tv.tv_sec + tv.tv_usec / 1e6; };
  return secs(usage.ru_utime) + secs(usage.ru_stime);
}

// Seconds per call of fn, the best of `rounds` rounds of `iters` calls.
template <typename F>
double best_seconds(int rounds, int iters, F&& fn) {
  double best = 1e300;
  for (int r = 0; r < rounds; ++r) {
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < iters; ++i) fn();
    std::chrono::duration<double> d = std::chrono::steady_clock::now() - start;
    best = std::min(best, d.count() / iters);
  }
  return best;
}

}  // namespace mistgrove_bench

#define MG_BENCH_CAT2(a, b) a##b
#define MG_BENCH_CAT(a, b) MG_BENCH_CAT2(a, b)
// MG_BENCH("name") { ... body using `args` ... }
#define MG_BENCH(name)                                                           \
  static void MG_BENCH_CAT(bench_fn_, __LINE__)(const ::mistgrove_bench::Args&); \
  static ::mistgrove_bench::Registrar MG_BENCH_CAT(bench_reg_, __LINE__)(        \
      name, MG_BENCH_CAT(bench_fn_, __LINE__));                                  \
  static void MG_BENCH_CAT(bench_fn_,                                            \
                           __LINE__)([[maybe_unused]] const ::mistgrove_bench::Args& args)
