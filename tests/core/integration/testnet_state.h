// The private Tor network's state for integration tests: the JSON file that
// tests/testnet/testnet.py writes and names in MISTGROVE_TESTNET.
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

// A parsed JSON value; enough of JSON for the fixture's state file.
struct Json {
  enum class Kind { Null, Bool, Number, String, Array, Object } kind = Kind::Null;
  bool boolean = false;
  double number = 0;
  std::string string;
  std::vector<Json> array;
  std::map<std::string, Json> object;

  const Json& operator[](const std::string& key) const {
    auto it = object.find(key);
    if (kind != Kind::Object || it == object.end())
      throw std::runtime_error("testnet state lacks " + key);
    return it->second;
  }
  const Json& operator[](std::size_t i) const { return array.at(i); }
  const std::string& text() const { return string; }
  long integer() const { return static_cast<long>(number); }

  static Json parse(const std::string& text) {
    std::size_t pos = 0;
    Json value = parse_value(text, pos);
    skip_ws(text, pos);
    if (pos != text.size()) throw std::runtime_error("trailing JSON text");
    return value;
  }

 private:
  static void skip_ws(const std::string& s, std::size_t& pos) {
    while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\n' || s[pos] == '\r' || s[pos] == '\t'))
      ++pos;
  }
  static void expect(const std::string& s, std::size_t& pos, char c) {
    skip_ws(s, pos);
    if (pos >= s.size() || s[pos] != c) throw std::runtime_error(std::string("JSON: expected ") + c);
    ++pos;
  }
  static std::string parse_string(const std::string& s, std::size_t& pos) {
    expect(s, pos, '"');
    std::string out;
    while (pos < s.size() && s[pos] != '"') {
      char c = s[pos++];
      if (c != '\\') {
        out += c;
        continue;
      }
      char e = s.at(pos++);
      switch (e) {
        case 'n': out += '\n'; break;
        case 't': out += '\t'; break;
        case 'r': out += '\r'; break;
        case 'u': {  // the fixture writes ASCII paths and names; keep BMP code points simple
          unsigned cp = std::stoul(s.substr(pos, 4), nullptr, 16);
          pos += 4;
          if (cp < 0x80) {
            out += static_cast<char>(cp);
          } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | cp >> 6);
            out += static_cast<char>(0x80 | (cp & 0x3F));
          } else {
            out += static_cast<char>(0xE0 | cp >> 12);
            out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
          }
          break;
        }
        default: out += e;  // \" \\ \/
      }
    }
    ++pos;
    return out;
  }
  static Json parse_value(const std::string& s, std::size_t& pos) {
    skip_ws(s, pos);
    if (pos >= s.size()) throw std::runtime_error("JSON: unexpected end");
    Json v;
    char c = s[pos];
    if (c == '"') {
      v.kind = Kind::String;
      v.string = parse_string(s, pos);
    } else if (c == '[') {
      v.kind = Kind::Array;
      ++pos;
      skip_ws(s, pos);
      if (s.at(pos) == ']') return ++pos, v;
      for (;;) {
        v.array.push_back(parse_value(s, pos));
        skip_ws(s, pos);
        if (s.at(pos++) == ']') break;
      }
    } else if (c == '{') {
      v.kind = Kind::Object;
      ++pos;
      skip_ws(s, pos);
      if (s.at(pos) == '}') return ++pos, v;
      for (;;) {
        std::string key = parse_string(s, pos);
        expect(s, pos, ':');
        v.object[key] = parse_value(s, pos);
        skip_ws(s, pos);
        if (s.at(pos++) == '}') break;
      }
    } else if (s.compare(pos, 4, "true") == 0 || s.compare(pos, 5, "false") == 0) {
      v.kind = Kind::Bool;
      v.boolean = c == 't';
      pos += v.boolean ? 4 : 5;
    } else if (s.compare(pos, 4, "null") == 0) {
      pos += 4;
    } else {
      v.kind = Kind::Number;
      std::size_t used = 0;
      v.number = std::stod(s.substr(pos, 32), &used);
      pos += used;
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
#define TESTNET_STATE_OR_SKIP(state)                                         \
  std::optional<::mistgrove_test::Json> state = ::mistgrove_test::load_testnet_state(); \
  if (!state) GTEST_SKIP() << "MISTGROVE_TESTNET is not set"
