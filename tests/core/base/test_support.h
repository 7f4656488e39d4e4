// Helpers shared by the core's tests: the message of a failure, hex, the
// records of tests/core/data and their answers, loopback sockets and seeded mutation runs.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "mistgrove_core/error.h"
#include "mistgrove_core/util.h"

namespace mistgrove_test {

using mistgrove_core::Bytes;

// What fn returns (a string), or the message of the Error it throws.
template <typename F>
std::string outcome(F&& fn) {
  try {
    return std::string(fn());
  } catch (const mistgrove_core::error::Error& e) {
    return e.message();
  }
}

// The Error message that fn throws, or "" when it succeeds.
template <typename F>
std::string error_of(F&& fn) {
  return outcome([&] { return fn(), std::string(); });
}

inline std::string text(const Bytes& data) { return std::string(data.begin(), data.end()); }

// Hex digits, spaces between them allowed; "-" is the empty string.
inline Bytes hex(std::string_view text) {
  Bytes out;
  for (std::size_t i = 0; i < text.size(); ++i)
    if (text[i] != ' ' && text[i] != '-')
      out.push_back(static_cast<std::uint8_t>(std::stoul(std::string(text.substr(i++, 2)), 0, 16)));
  return out;
}

inline std::string read_data_file(const std::string& name) {
  std::ifstream in(std::string(MISTGROVE_TEST_DATA) + "/" + name, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open test data " + name);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// C escapes (\n \r \t \v \f \0 \\ \xNN) of a data file's text field.
inline std::string unescape(std::string_view in) {
  std::string out;
  for (std::size_t i = 0; i < in.size(); ++i) {
    const std::size_t c =
        in[i] == '\\' && i + 1 < in.size() ? std::string_view("nrtvf0\\x").find(in[++i]) : 8;
    if (c == 7)  // \xNN
      out += static_cast<char>(std::stoul(std::string(in.substr(i + 1, 2)), nullptr, 16)), i += 2;
    else
      out += c < 7 ? "\n\r\t\v\f\0\\"[c] : in[i];
  }
  return out;
}

// A line of a data file: fields split at spaces (bytes in hex, "-" empty) or,
// when it holds " | ", at " | " with C escapes in each field.
struct Record {
  std::vector<std::string> fields;  // fields[0] is the kind

  const std::string& kind() const { return fields.at(0); }
  Bytes bytes(std::size_t i) const { return hex(fields.at(i)); }
  std::size_t number(std::size_t i) const { return std::stoul(fields.at(i)); }
  const std::string& text(std::size_t i) const { return fields.at(i); }
  const std::string& last() const { return fields.back(); }
};

// All records of a file in tests/core/data, or only those of one kind.
inline std::vector<Record> load_records(const std::string& file, const std::string& kind = "") {
  std::istringstream in(read_data_file(file));
  std::vector<Record> records;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    Record record;
    if (line.find(" | ") != std::string::npos) {
      if (line.ends_with(" |")) line += ' ';
      for (std::size_t at; (at = line.find(" | ")) != std::string::npos; line.erase(0, at + 3))
        record.fields.push_back(unescape(line.substr(0, at)));
      record.fields.push_back(unescape(line));
    } else {
      std::istringstream words(line);
      for (std::string word; words >> word;) record.fields.push_back(word);
    }
    if (kind.empty() || record.kind() == kind) records.push_back(std::move(record));
  }
  if (records.empty()) throw std::runtime_error("no " + kind + " records in " + file);
  return records;
}

// Checks that `answer` gives each record's last field: its value or its Error's message.
template <typename F>
void expect_answers(const std::string& file, const std::string& kind, F&& answer) {
  for (const Record& r : load_records(file, kind))
    EXPECT_EQ(outcome([&] { return answer(r); }), r.last()) << testing::PrintToString(r.fields);
}

// A TCP socket on 127.0.0.1, a free port (written to `port`), listening
// unless backlog < 0. The caller closes it.
inline int bind_loopback(std::uint16_t& port, int backlog) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{
      .sin_family = AF_INET, .sin_port = 0, .sin_addr = {htonl(INADDR_LOOPBACK)}, .sin_zero = {}};
  socklen_t len = sizeof addr;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
      (backlog >= 0 && ::listen(fd, backlog) != 0) ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
    throw std::runtime_error("cannot bind on loopback");
  port = ntohs(addr.sin_port);
  return fd;
}

// One piece per character of `chars`, then the `extra` pieces.
inline std::vector<std::string> pieces(std::string_view chars,
                                       std::vector<std::string> extra = {}) {
  for (char c : chars) extra.emplace_back(1, c);
  return extra;
}

// A parser under random input: each call returns (checked by `parse`) or throws Error.
struct FuzzTarget {
  const char* name;
  std::vector<std::string> seeds;   // valid inputs to mutate
  std::vector<std::string> pieces;  // what mutations splice in
  std::function<void(const std::string&)> parse;
  int min_each = 1;  // each outcome, accepted and refused, at least this often
};

// 3000 seeded inputs: every fourth built from pieces (now and then any byte),
// the others seeds with one to eight edits. Returns how many parsed.
inline int fuzz_accepted(const FuzzTarget& target, std::uint32_t seed) {
  std::mt19937 rng(seed);
  auto upto = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n)(rng); };
  auto piece = [&] { return target.pieces[upto(target.pieces.size() - 1)]; };
  int accepted = 0;
  for (int round = 0; round < 3000; ++round) {
    std::string in;
    if (round % 4 == 0) {
      for (std::size_t n = upto(64); n > 0; --n)
        in += upto(7) == 0 ? std::string(1, static_cast<char>(upto(255))) : piece();
    } else {
      in = target.seeds[upto(target.seeds.size() - 1)];
      for (std::size_t edits = 1 + upto(7); edits > 0; --edits) {
        const std::size_t at = upto(in.size()), op = upto(4);
        if (op == 0 && at < in.size()) in[at] ^= static_cast<char>(1 << upto(7));
        if (op == 1) in.insert(at, piece());
        if (op == 2) in.erase(at, upto(64));
        if (op == 3) in.insert(at, in.substr(at, upto(256)));
        if (op == 4) in.resize(at);
      }
    }
    accepted += error_of([&] { target.parse(in); }).empty();
  }
  return accepted;
}

}  // namespace mistgrove_test
