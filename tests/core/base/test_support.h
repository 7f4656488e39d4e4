// Helpers shared by the core's tests: the message of a failure, and the
// known-answer files of tests/core/data (written by the scripts of
// tools/vectors): one record per line, fields separated by single spaces,
// byte strings in hex ("-" when empty), lines starting with '#' ignored.
#pragma once

#include <fstream>
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

inline Bytes hex(std::string_view text) {
  if (text == "-") return {};
  if (text.size() % 2 != 0) throw std::invalid_argument("odd hex length");
  Bytes out;
  for (std::size_t i = 0; i < text.size(); i += 2)
    out.push_back(
        static_cast<std::uint8_t>(std::stoul(std::string(text.substr(i, 2)), nullptr, 16)));
  return out;
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
  std::ifstream in(std::string(MISTGROVE_TEST_DATA) + "/" + file);
  if (!in) throw std::runtime_error("cannot open test data " + file);
  std::vector<Record> records;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    Record record;
    for (std::size_t start = 0;;) {
      const std::size_t space = line.find(' ', start);
      record.fields.push_back(line.substr(start, space - start));
      if (space == std::string::npos) break;
      start = space + 1;
    }
    if (kind.empty() || record.kind() == kind) records.push_back(std::move(record));
  }
  if (records.empty()) throw std::runtime_error("no " + kind + " records in " + file);
  return records;
}

}  // namespace mistgrove_test
