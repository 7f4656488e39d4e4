// Helpers shared by the core's tests: the message of a failure, hex, the
// known-answer files of tests/core/data (written by tools/vectors: one record
// per line, fields split by single spaces, bytes in hex, "-" when empty, '#'
// lines ignored) and seeded mutation runs for robustness tests.
#pragma once

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

// The Error message that fn throws, or "" when it succeeds.
template <typename F>
std::string error_of(F&& fn) {
  try {
    fn();
  } catch (const mistgrove_core::error::Error& e) {
    return e.what();
  }
  return "";
}

// Hex digits, spaces between them allowed; "-" is the empty string.
inline Bytes hex(std::string_view text) {
  std::string digits;
  for (char c : text)
    if (c != ' ') digits.push_back(c);
  if (digits == "-") return {};
  if (digits.size() % 2 != 0) throw std::invalid_argument("odd hex length");
  Bytes out;
  for (std::size_t i = 0; i < digits.size(); i += 2)
    out.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  return out;
}

inline std::string read_data_file(const std::string& name) {
  std::ifstream in(std::string(MISTGROVE_TEST_DATA) + "/" + name, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open test data " + name);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

struct Record {
  std::vector<std::string> fields;  // fields[0] is the kind

  const std::string& kind() const { return fields.at(0); }
  Bytes bytes(std::size_t i) const { return hex(fields.at(i)); }
  std::size_t number(std::size_t i) const { return std::stoul(fields.at(i)); }
  const std::string& text(std::size_t i) const { return fields.at(i); }
};

// All records of a file in tests/core/data, or only those of one kind.
inline std::vector<Record> load_records(const std::string& file, const std::string& kind = "") {
  std::istringstream in(read_data_file(file));
  std::vector<Record> records;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    Record record;
    std::istringstream words(line);
    for (std::string word; words >> word;) record.fields.push_back(word);
    if (kind.empty() || record.kind() == kind) records.push_back(std::move(record));
  }
  if (records.empty()) throw std::runtime_error("no " + kind + " records in " + file);
  return records;
}

// Seeded random input: texts built from `pieces` (now and then any byte), and
// edits of valid input that flip bits, splice pieces in, delete or duplicate
// runs and truncate.
class Mutator {
 public:
  Mutator(std::uint32_t seed, std::vector<std::string> pieces)
      : rng_(seed), pieces_(std::move(pieces)) {}

  // Uniform in 0..n, both ends included.
  std::size_t upto(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n)(rng_); }

  std::string random_text(std::size_t max_pieces) {
    std::string out;
    for (std::size_t n = upto(max_pieces); n > 0; --n)
      out += upto(7) == 0 ? std::string(1, static_cast<char>(upto(255))) : piece();
    return out;
  }

  std::string mutate(std::string text) {
    for (std::size_t edits = 1 + upto(7); edits > 0; --edits) {
      const std::size_t at = upto(text.size());
      switch (upto(4)) {
        case 0:
          if (at < text.size()) text[at] ^= static_cast<char>(1 << upto(7));
          break;
        case 1:
          text.insert(at, piece());
          break;
        case 2:
          text.erase(at, upto(64));
          break;
        case 3:
          text.insert(at, text.substr(at, upto(256)));
          break;
        default:
          text.resize(at);
      }
    }
    return text;
  }

 private:
  const std::string& piece() { return pieces_[upto(pieces_.size() - 1)]; }

  std::mt19937 rng_;
  std::vector<std::string> pieces_;
};

// One parser under random input: every call returns or throws Error; `parse`
// checks what a successful call returned.
struct FuzzTarget {
  const char* name;
  std::vector<std::string> seeds;   // valid inputs to mutate
  std::vector<std::string> pieces;  // what mutations splice in
  std::function<void(const std::string&)> parse;
  int rounds = 3000;
  int min_each = 1;  // each outcome, accepted and refused, at least this often
};

// Every fourth input is random text, the others are mutated seeds. Returns
// how many inputs parsed.
inline int fuzz_accepted(const FuzzTarget& target, std::uint32_t seed) {
  Mutator m(seed, target.pieces);
  int accepted = 0;
  for (int round = 0; round < target.rounds; ++round) {
    const std::string input = round % 4 == 0
                                  ? m.random_text(64)
                                  : m.mutate(target.seeds[m.upto(target.seeds.size() - 1)]);
    try {
      target.parse(input);
      ++accepted;
    } catch (const mistgrove_core::error::Error&) {
    }
  }
  return accepted;
}

}  // namespace mistgrove_test
