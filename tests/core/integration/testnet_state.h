// The private Tor network's state for integration tests and benchmarks: the
// JSON file that tests/testnet/testnet.py writes and names in
// MISTGROVE_TESTNET.
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

// A parsed JSON value, enough of JSON for the fixture's state file (which
// Python writes in ASCII): a string, or the text of a number or literal, in
// `string`.
struct Json {
  std::string string;
  std::vector<Json> array;
  std::map<std::string, Json> object;

  const Json& operator[](const std::string& key) const {
    auto it = object.find(key);
    if (it == object.end()) throw std::runtime_error("testnet state lacks " + key);
    return it->second;
  }
  const Json& operator[](std::size_t i) const { return array.at(i); }
  const std::string& text() const { return string; }
  long integer() const { return std::stol(string); }

  static Json parse(const std::string& text) {
    std::size_t pos = 0;
    return value(text, pos);
  }

 private:
  static char next(const std::string& s, std::size_t& pos) {
    pos = s.find_first_not_of(" \t\r\n", pos);
    if (pos == std::string::npos) throw std::runtime_error("JSON: unexpected end");
    return s[pos];
  }
  static Json value(const std::string& s, std::size_t& pos) {
    Json v;
    const char open = next(s, pos);
    if (open == '[' || open == '{') {
      ++pos;
      while (next(s, pos) != (open == '[' ? ']' : '}')) {
        if (open == '[') {
          v.array.push_back(value(s, pos));
        } else {
          const std::string key = value(s, pos).string;
          if (next(s, pos) != ':') throw std::runtime_error("JSON: expected :");
          v.object[key] = value(s, ++pos);
        }
        if (next(s, pos) == ',') ++pos;
      }
      ++pos;
    } else if (open == '"') {
      for (++pos; s.at(pos) != '"'; ++pos) {
        char c = s[pos];
        if (c == '\\') {
          c = s.at(++pos);
          if (c == 'u') throw std::runtime_error("JSON: \\u escapes are not expected");
          c = c == 'n' ? '\n' : c == 't' ? '\t' : c == 'r' ? '\r' : c;
        }
        v.string += c;
      }
      ++pos;
    } else {
      const std::size_t end = s.find_first_of(",]} \t\r\n", pos);
      v.string = s.substr(pos, end - pos);
      pos = end;
    }
    return v;
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
inline std::optional<Json> load_testnet_state() {
  const char* path = std::getenv("MISTGROVE_TESTNET");
  if (path == nullptr || *path == '\0') return std::nullopt;
  return Json::parse(read_whole_file(path));
}

}  // namespace mistgrove_test

// In a GoogleTest body: declares `state` (std::optional<Json>) or skips the test.
#define TESTNET_STATE_OR_SKIP(state)                                                    \
  std::optional<::mistgrove_test::Json> state = ::mistgrove_test::load_testnet_state(); \
  if (!state) GTEST_SKIP() << "MISTGROVE_TESTNET is not set"
