// mistgrove_bench [--key=value ...] [case ...]: runs the named cases, or all.
#include <cstdio>
#include <exception>
#include <string>

#include "bench.h"

namespace mistgrove_bench {
std::map<std::string, Case>& registry() {
  static std::map<std::string, Case> cases;
  return cases;
}
}  // namespace mistgrove_bench

int main(int argc, char** argv) {
  mistgrove_bench::Args args;
  std::vector<std::string> names;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a.rfind("--", 0) == 0) {
      auto eq = a.find('=');
      args.values[a.substr(2, eq == std::string::npos ? std::string::npos : eq - 2)] =
          eq == std::string::npos ? "1" : a.substr(eq + 1);
    } else {
      names.push_back(a);
    }
  }
  auto& cases = mistgrove_bench::registry();
  if (names.empty())
    for (auto& [name, run] : cases) names.push_back(name);
  int failures = 0;
  for (auto& name : names) {
    auto it = cases.find(name);
    if (it == cases.end()) {
      std::fprintf(stderr, "unknown case %s\n", name.c_str());
      return 2;
    }
    std::printf("== %s\n", name.c_str());
    std::fflush(stdout);
    try {
      it->second(args);
    } catch (const std::exception& e) {
      std::printf("   failed: %s\n", e.what());
      ++failures;
    }
  }
  return failures == 0 ? 0 : 1;
}
