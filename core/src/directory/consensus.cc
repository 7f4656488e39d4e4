// The microdescriptor consensus parser: one pass over the document's lines,
// keeping only what the client reads (relays, times, params, shared random).
#include <fmt/format.h>

#include <algorithm>
#include <optional>

#include "mistgrove_core/directory.h"
#include "mistgrove_core/error.h"

namespace mistgrove_core::directory {
namespace {

using error::err;

// Rust's char::is_whitespace restricted to ASCII: tab, LF, VT, FF, CR, space.
bool is_ascii_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Splits `line` into `words` (reused between lines so that ASCII lines cost
// no allocation); a line with any non-ASCII byte goes through split_ws, which
// knows the whole Unicode whitespace set.
void split_words(std::string_view line, std::vector<std::string_view>& words) {
  words.clear();
  std::size_t i = 0;
  const std::size_t n = line.size();
  while (i < n) {
    while (i < n && is_ascii_space(line[i])) ++i;
    std::size_t start = i;
    while (i < n && !is_ascii_space(line[i])) {
      if (static_cast<unsigned char>(line[i]) >= 0x80) {
        words = util::split_ws(line);
        return;
      }
      ++i;
    }
    if (i > start) words.push_back(line.substr(start, i - start));
  }
}

// The protocols text of a "pr" line: everything from its fourth byte. When
// that byte continues a multi-byte character (the keyword was followed by
// non-ASCII whitespace), start at the next character so the text stays UTF-8.
std::string_view protocols_text(std::string_view line) {
  std::size_t start = 3;
  if (line.size() <= start) return {};
  while (start < line.size() && (static_cast<unsigned char>(line[start]) & 0xC0) == 0x80) ++start;
  return line.substr(start);
}

// "m" lines: a bare digest, or "sha256=" words of which the last one wins.
std::string_view microdesc_digest_of(const std::vector<std::string_view>& words) {
  static constexpr std::string_view kSha256 = "sha256=";
  std::string_view digest = words[1];
  for (std::size_t i = 1; i < words.size(); ++i) {
    std::size_t at = words[i].find(kSha256);
    if (at != std::string_view::npos) digest = words[i].substr(at + kSha256.size());
  }
  return digest;
}

// An "r" line of 8 words (microdesc flavour) or 9 and more (full flavour,
// with a descriptor digest after the identity).
Relay relay_from_r_line(const std::vector<std::string_view>& words) {
  Relay relay;
  relay.nickname = words[1];
  relay.rsa_identity = util::base64_decode(words[2]);
  const std::size_t at = words.size() == 8 ? 5 : 6;
  relay.address = words[at];
  relay.or_port = util::parse_u16(words[at + 1]);
  relay.dir_port = util::parse_u16(words[at + 2]);
  return relay;
}

void merge_params(const std::vector<std::string_view>& words, std::map<std::string, i32>& params) {
  for (std::size_t i = 1; i < words.size(); ++i) {
    std::size_t eq = words[i].find('=');
    if (eq == std::string_view::npos) continue;
    i32 value = util::parse_i32(words[i].substr(eq + 1));
    params.insert_or_assign(std::string(words[i].substr(0, eq)), value);
  }
}

// A cursor over the joined "date time" text, failing with the date parser's
// own reasons.
class TimeScanner {
 public:
  explicit TimeScanner(std::string_view text) : text_(text) {}

  // Exactly `digits` decimal digits, then a check of the value's range.
  int field(int digits, int min, int max) {
    int value = 0;
    for (int i = 0; i < digits; ++i) {
      char c = next();
      if (c < '0' || c > '9') throw err("input contains invalid characters");
      value = value * 10 + (c - '0');
    }
    if (value < min || value > max) throw err("input is out of range");
    return value;
  }
  void literal(char expected) {
    if (next() != expected) throw err("input contains invalid characters");
  }
  void finish() const {
    if (pos_ != text_.size()) throw err("trailing input");
  }

 private:
  char next() {
    if (pos_ == text_.size()) throw err("premature end of input");
    return text_[pos_++];
  }
  std::string_view text_;
  std::size_t pos_ = 0;
};

bool is_leap(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int days_in_month(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && is_leap(year) ? 29 : kDays[month - 1];
}

// Days since 1970-01-01 of a proleptic Gregorian date (Howard Hinnant's
// days_from_civil), exact for every year without a time-zone library.
i64 days_from_civil(i64 year, int month, int day) {
  year -= month <= 2;
  const i64 era = (year >= 0 ? year : year - 399) / 400;
  const i64 year_of_era = year - era * 400;
  const i64 day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const i64 day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + day_of_era - 719468;
}

static_assert(std::is_sorted(kRelayFlagNames.begin(), kRelayFlagNames.end()),
              "RelayFlags::names() promises byte-wise order");

std::optional<RelayFlag> flag_named(std::string_view name) {
  const auto it = std::lower_bound(kRelayFlagNames.begin(), kRelayFlagNames.end(), name);
  if (it == kRelayFlagNames.end() || *it != name) return std::nullopt;
  return static_cast<RelayFlag>(it - kRelayFlagNames.begin());
}

}  // namespace

bool RelayFlags::count(std::string_view name) const {
  const auto flag = flag_named(name);
  return flag && has(*flag);
}

void RelayFlags::insert(std::string_view name) {
  if (const auto flag = flag_named(name)) set(*flag);
}

void RelayFlags::erase(std::string_view name) {
  if (const auto flag = flag_named(name)) bits_ &= ~bit(*flag);
}

std::vector<std::string_view> RelayFlags::names() const {
  std::vector<std::string_view> out;
  for (std::size_t i = 0; i < kRelayFlagNames.size(); ++i)
    if (has(static_cast<RelayFlag>(i))) out.push_back(kRelayFlagNames[i]);
  return out;
}

i64 parse_time_utc(std::string_view date, std::string_view time) {
  const std::string joined = fmt::format("{} {}", date, time);
  TimeScanner scan(joined);
  const int year = scan.field(4, 0, 9999);
  scan.literal('-');
  const int month = scan.field(2, 1, 12);
  scan.literal('-');
  const int day = scan.field(2, 1, 31);
  scan.literal(' ');
  const int hour = scan.field(2, 0, 23);
  scan.literal(':');
  const int minute = scan.field(2, 0, 59);
  scan.literal(':');
  // A leap second is read as the last second of its minute.
  const int second = std::min(scan.field(2, 0, 60), 59);
  scan.finish();
  if (day > days_in_month(year, month)) throw err("input is out of range");
  return days_from_civil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
}

Consensus parse_consensus(std::string_view text) {
  Consensus consensus;
  // Never cleared once set: lines after an ignored "r" line still apply to
  // the relay before it. Only an append to `relays` moves it, and each
  // append replaces it.
  Relay* current = nullptr;
  std::vector<std::string_view> words;

  std::string_view line;
  for (util::LineReader lines(text); lines.next(line);) {
    if (line.empty()) continue;

    split_words(line, words);
    if (words.empty()) continue;
    const std::string_view keyword = words[0];
    const std::size_t count = words.size();

    if (keyword == "r") {
      if (count < 8) continue;
      current = &consensus.relays.emplace_back(relay_from_r_line(words));
    } else if (keyword == "m") {
      if (current && count >= 2) current->microdesc_digest = microdesc_digest_of(words);
    } else if (keyword == "s") {
      if (!current) continue;
      for (std::size_t i = 1; i < count; ++i) current->flags.insert(words[i]);
    } else if (keyword == "pr") {
      if (current) current->protocols = protocols_text(line);
    } else if (keyword == "id") {
      if (current && count >= 3 && words[1] == "ed25519" && words[2] != "none")
        current->ed25519_id = util::base64_decode(words[2]);
    } else if (keyword == "params") {
      merge_params(words, consensus.params);
    } else if (keyword == "valid-after") {
      if (count >= 3) consensus.valid_after = parse_time_utc(words[1], words[2]);
    } else if (keyword == "fresh-until") {
      if (count >= 3) consensus.fresh_until = parse_time_utc(words[1], words[2]);
    } else if (keyword == "shared-rand-current-value") {
      if (count >= 3) consensus.srv_current = util::base64_decode(words[2]);
    } else if (keyword == "shared-rand-previous-value") {
      if (count >= 3) consensus.srv_previous = util::base64_decode(words[2]);
    }
  }

  if (consensus.valid_after == 0) throw err("consensus missing valid-after");
  if (consensus.relays.empty()) throw err("consensus has no relays");
  // The consensus lives as long as its session: give back the growth slack.
  consensus.relays.shrink_to_fit();
  return consensus;
}

}  // namespace mistgrove_core::directory
