// The private Tor network's state for integration tests and benchmarks: the
// file tests/testnet/testnet.py writes beside the JSON one that
// MISTGROVE_TESTNET names, one "key value..." line each, one "relay nickname
// orport ed25519_id" line per router.
#pragma once

#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace mistgrove_test {

struct TestnetValue {
  std::vector<std::string> words;
  const std::string& text() const { return words.at(0); }
  long integer() const { return std::stol(text()); }
  TestnetValue operator[](std::size_t i) const { return {{words.at(i)}}; }
};

struct TestnetState {
  std::map<std::string, TestnetValue> values;
  std::vector<TestnetValue> relays;
  const TestnetValue& operator[](const std::string& key) const {
    auto it = values.find(key);
    if (it == values.end()) throw std::runtime_error("testnet state lacks " + key);
    return it->second;
  }
};

inline std::string read_whole_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// The state of the running network, or nothing when MISTGROVE_TESTNET is unset.
inline std::optional<TestnetState> load_testnet_state() {
  const char* path = std::getenv("MISTGROVE_TESTNET");
  if (path == nullptr || *path == '\0') return std::nullopt;
  TestnetState state;
  std::istringstream lines(read_whole_file(std::string(path) + ".txt"));
  for (std::string line, key; std::getline(lines, line);) {
    std::istringstream words(line);
    TestnetValue value;
    words >> key;
    for (std::string word; words >> word;) value.words.push_back(word);
    (key == "relay" ? state.relays.emplace_back() : state.values[key]) = std::move(value);
  }
  return state;
}

}  // namespace mistgrove_test

// In a GoogleTest body: declares `state` (std::optional<TestnetState>) or skips the test.
#define TESTNET_STATE_OR_SKIP(state)                                                            \
  std::optional<::mistgrove_test::TestnetState> state = ::mistgrove_test::load_testnet_state(); \
  if (!state) GTEST_SKIP() << "MISTGROVE_TESTNET is not set"
