// The directory client: the network as the consensus describes it, plain
// directory fetches, microdescriptors, relay rules, the HSDir ring, onion
// addresses with their period keys, and link specifiers.
#pragma once

#include <algorithm>
#include <array>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "mistgrove_core/util.h"

namespace mistgrove_core::directory {

// A value the directory gives in one fixed length N (a key, an identity, a
// digest), held inline so that copying a Relay allocates nothing for it.
// Empty until known. A value of any other length (a malformed document or
// cell) is kept as it came, on the heap, so that the length tests where the
// value is used still refuse it.
template <typename Char, std::size_t N>
class FixedValue {
 public:
  FixedValue() = default;
  explicit FixedValue(std::span<const Char> value) { assign(value); }
  FixedValue(const FixedValue& other) { assign(other.span()); }
  FixedValue(FixedValue&& other) noexcept { take(other); }
  FixedValue& operator=(const FixedValue& other) {
    if (this != &other) assign(other.span());
    return *this;
  }
  FixedValue& operator=(FixedValue&& other) noexcept {
    if (this != &other) take(other);
    return *this;
  }
  ~FixedValue() = default;

  bool empty() const { return size_ == 0; }
  std::size_t size() const { return size_; }
  const Char* data() const { return size_ == N ? fixed_.data() : other_.get(); }
  const Char* begin() const { return data(); }
  const Char* end() const { return data() + size_; }
  Char operator[](std::size_t i) const { return data()[i]; }
  void clear() { *this = FixedValue(); }

 protected:
  std::span<const Char> span() const { return {data(), size_}; }
  bool equals(std::span<const Char> value) const {
    return size_ == value.size() && std::equal(begin(), end(), value.begin());
  }

 private:
  void assign(std::span<const Char> value) {
    other_.reset();
    if (value.size() != N && !value.empty()) {
      other_ = std::make_unique<Char[]>(value.size());
      std::copy(value.begin(), value.end(), other_.get());
    } else {
      std::copy(value.begin(), value.end(), fixed_.begin());
    }
    size_ = static_cast<u32>(value.size());
  }
  void take(FixedValue& other) noexcept {
    fixed_ = other.fixed_;
    size_ = std::exchange(other.size_, 0);
    other_ = std::move(other.other_);
  }

  std::array<Char, N> fixed_{};
  u32 size_ = 0;
  std::unique_ptr<Char[]> other_;  // only for a length other than N
};

// A key or identity of N bytes, used where a ByteView is.
template <std::size_t N>
class RelayKey : public FixedValue<u8, N> {
 public:
  RelayKey() = default;
  RelayKey(ByteView bytes) : FixedValue<u8, N>(bytes) {}
  RelayKey(const Bytes& bytes) : FixedValue<u8, N>(bytes) {}
  RelayKey(std::initializer_list<u8> bytes) : FixedValue<u8, N>({bytes.begin(), bytes.size()}) {}

  ByteView view() const { return this->span(); }
  operator ByteView() const { return view(); }
  Bytes to_bytes() const { return Bytes(this->begin(), this->end()); }

  friend bool operator==(const RelayKey& a, const RelayKey& b) { return a.equals(b.view()); }
  friend bool operator==(const RelayKey& a, ByteView b) { return a.equals(b); }
  friend bool operator==(const RelayKey& a, const Bytes& b) { return a.equals(b); }
};

// The unpadded base64 of a SHA-256 (43 characters), used where a
// std::string_view is.
class DigestText : public FixedValue<char, 43> {
 public:
  DigestText() = default;
  DigestText(std::string_view text) : FixedValue({text.data(), text.size()}) {}
  DigestText(const std::string& text) : DigestText(std::string_view(text)) {}
  DigestText(const char* text) : DigestText(std::string_view(text)) {}

  std::string_view view() const { return {data(), size()}; }
  operator std::string_view() const { return view(); }
  std::string str() const { return std::string(view()); }

  friend bool operator==(const DigestText& a, const DigestText& b) { return a.equals(b.span()); }
  friend bool operator==(const DigestText& a, std::string_view b) {
    return a.equals({b.data(), b.size()});
  }
  friend bool operator==(const DigestText& a, const std::string& b) {
    return a == std::string_view(b);
  }
  friend bool operator==(const DigestText& a, const char* b) { return a == std::string_view(b); }
};

// The router status flags this client reads or the directory protocol names,
// in byte-wise order of their names.
enum class RelayFlag : u8 {
  Authority,
  BadExit,
  Exit,
  Fast,
  Guard,
  HSDir,
  MiddleOnly,
  Named,
  NoEdConsensus,
  Running,
  Stable,
  StaleDesc,
  Sybil,
  Unnamed,
  V2Dir,
  Valid,
};
inline constexpr std::array<std::string_view, 16> kRelayFlagNames = {
    "Authority",     "BadExit", "Exit",   "Fast",      "Guard", "HSDir",   "MiddleOnly", "Named",
    "NoEdConsensus", "Running", "Stable", "StaleDesc", "Sybil", "Unnamed", "V2Dir",      "Valid"};

// The flags of one relay as a bit set. A flag name outside kRelayFlagNames
// carries nothing this client could act on and is not kept.
class RelayFlags {
 public:
  RelayFlags() = default;
  RelayFlags(std::initializer_list<std::string_view> names) {
    for (std::string_view name : names) insert(name);
  }
  bool has(RelayFlag flag) const { return bits_ & bit(flag); }
  void set(RelayFlag flag) { bits_ |= bit(flag); }
  // By name; an unknown name is never present and is ignored when inserted.
  bool count(std::string_view name) const;
  void insert(std::string_view name);
  void erase(std::string_view name);
  // The names present, in byte-wise order.
  std::vector<std::string_view> names() const;
  bool operator==(const RelayFlags&) const = default;

 private:
  static u32 bit(RelayFlag flag) { return u32{1} << static_cast<u8>(flag); }
  u32 bits_ = 0;
};

// One router of the consensus. Copies are deep and independent.
struct Relay {
  std::string nickname;
  std::string address;        // IPv4 text as written in the document
  RelayKey<20> rsa_identity;  // 20 bytes when well-formed
  RelayKey<32> ed25519_id;    // empty until known; 32 bytes when well-formed
  std::string protocols;
  DigestText microdesc_digest;  // unpadded base64 of SHA-256, not decoded
  RelayKey<32> ntor_onion_key;  // filled in from microdescriptors
  RelayFlags flags;
  u16 or_port = 0;
  u16 dir_port = 0;
};

struct Consensus {
  Bytes srv_current;
  Bytes srv_previous;
  std::vector<Relay> relays;
  i64 valid_after = 0;
  i64 fresh_until = 0;
  std::map<std::string, i32> params;
};

// How a relay is reached and which identities it must prove.
struct LinkSpecifier {
  // The kinds this client writes and reads.
  static constexpr u8 kIpv4 = 0;       // address and OR port, 6 bytes
  static constexpr u8 kRsaId = 2;      // RSA identity digest, 20 bytes
  static constexpr u8 kEd25519Id = 3;  // Ed25519 identity, 32 bytes
  static constexpr std::size_t kIpv4Len = 6;

  Bytes data;
  u8 kind = 0;
  bool is_ipv4() const { return kind == kIpv4 && data.size() == kIpv4Len; }
  bool operator==(const LinkSpecifier&) const = default;
};

// The keys of one onion service for one time period.
struct HsPeriodKeys {
  Bytes blinded_key;
  Bytes subcredential;
  u64 period_num = 0;
  i32 period_length = 0;
};

// --- consensus ---
Consensus parse_consensus(std::string_view text);
i64 parse_time_utc(std::string_view date, std::string_view time);

// --- relay roles, rendezvous candidates and the HSDir ring ---

// A directory source flagged HSDir, not NoEdConsensus, with its Ed25519 id.
bool relay_usable_hsdir(const Relay& relay);
// A first hop or rendezvous point: a directory source, not MiddleOnly nor
// NoEdConsensus, with its RSA and Ed25519 identities and its ntor key.
bool relay_usable_rendezvous(const Relay& relay);
// Same Ed25519 identity, else same RSA identity, else same address and OR port.
bool same_relay(const Relay& a, const Relay& b);
// Copies of the usable rendezvous relays, shuffled anew on every call.
std::vector<Relay> candidate_rendezvous_relays(const Consensus& consensus);
// The HSDirs responsible for a blinded key in one period under one shared
// random value (32 bytes): replica by replica, each in ring-walk order.
std::vector<Relay> select_hsdirs(const Consensus& consensus, ByteView blinded_key,
                                 ByteView shared_random, u64 period_num, i32 period_length);

// --- directory requests over HTTP/1.0: one request per connection ---

// The GET request for `path` (sent as given) with `host` (no port) in its Host
// line; the same text goes over plain TCP and over BEGIN_DIR streams.
std::string directory_request_text(std::string_view path, std::string_view host);
// GETs `path` from `endpoint` and returns the body of its 200 response. Each
// connect, write and read waits at most timeout_ms; reading stops at 8 MiB.
Bytes http_get_direct(const util::HostPort& endpoint, std::string_view path, i32 timeout_ms);
// The body of one complete response: status 200 required, chunked transfer
// encoding undone, nothing else interpreted.
Bytes decode_http_body(ByteView response);

// --- link specifiers ---
std::vector<LinkSpecifier> parse_link_specifiers(ByteView block);
Bytes serialize_link_specifiers(const std::vector<LinkSpecifier>& specs);
std::vector<LinkSpecifier> relay_link_specifiers(const Relay& relay);

// --- onion addresses and period keys ---
Bytes parse_onion_address(std::string_view host);
HsPeriodKeys derive_hs_period_keys(const Consensus& consensus, ByteView identity_key);

// --- microdescriptors: fetched for the HSDir relays at session creation ---

// Fetches the microdescriptors of the HSDir relays with up to 8 worker threads
// and fills in their missing Ed25519 identities and ntor keys. Each batch
// request must finish within min(timeout_ms, 3000) as a whole; batches that
// fail on every source tried are logged and skipped.
void hydrate_microdescriptors(Consensus& consensus, const util::HostPort& bootstrap,
                              i32 timeout_ms);

}  // namespace mistgrove_core::directory
