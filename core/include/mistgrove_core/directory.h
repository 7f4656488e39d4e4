// The directory client: the network as the consensus describes it, plain
// directory fetches, microdescriptors, relay rules, the HSDir ring, onion
// addresses with their period keys, and link specifiers.
#pragma once

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "mistgrove_core/util.h"

namespace mistgrove_core::directory {

// One router of the consensus. Copies are deep and independent.
struct Relay {
  std::string nickname;
  std::string address;  // IPv4 text as written in the document
  Bytes rsa_identity;   // 20 bytes when well-formed
  Bytes ed25519_id;     // empty until known; 32 bytes when well-formed
  std::string protocols;
  std::string microdesc_digest;  // unpadded base64 of SHA-256, not decoded
  Bytes ntor_onion_key;          // filled in from microdescriptors
  std::set<std::string> flags;   // byte-wise order
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
  Bytes data;
  u8 kind = 0;
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

// Running, Valid and an OR port: a source of microdescriptors.
bool relay_usable_dir(const Relay& relay);
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
// The same, ended as a whole timeout_ms after it starts, else "directory fetch
// timed out": the request and the response get only the time the connect
// left (a host name of several addresses may take timeout_ms for each).
Bytes http_get_direct_within(const util::HostPort& endpoint, std::string_view path,
                             i32 timeout_ms);
// The body of one complete response: status 200 required, chunked transfer
// encoding undone, nothing else interpreted.
Bytes decode_http_body(ByteView response);
// The data of a chunked body; trailers and anything after them are ignored.
Bytes decode_chunked_body(ByteView body);

// --- link specifiers ---
std::vector<LinkSpecifier> parse_link_specifiers(ByteView block);
Bytes serialize_link_specifiers(const std::vector<LinkSpecifier>& specs);
std::vector<LinkSpecifier> relay_link_specifiers(const Relay& relay);

// --- onion addresses and period keys ---
Bytes parse_onion_address(std::string_view host);
HsPeriodKeys derive_hs_period_keys(const Consensus& consensus, ByteView identity_key);
Bytes blind_onion_key(ByteView identity_key, u64 period_num, i64 period_length);
Bytes onion_subcredential(ByteView identity_key, ByteView blinded_key);

// --- microdescriptors: fetched for the HSDir relays at session creation ---

// The two keys taken from one microdescriptor; empty when it has no such line.
struct MicrodescriptorFields {
  Bytes ed25519_id;
  Bytes ntor_onion_key;
  bool operator==(const MicrodescriptorFields&) const = default;
};

// Keyed by the unpadded base64 SHA-256 of each microdescriptor's exact text,
// the form of Relay::microdesc_digest.
using MicrodescriptorIndex = std::map<std::string, MicrodescriptorFields>;

std::vector<std::string> split_microdescriptors(std::string_view text);
MicrodescriptorFields parse_microdescriptor_fields(std::string_view text);
MicrodescriptorIndex index_microdescriptors(std::string_view text);

// Fetches the microdescriptors of the HSDir relays with up to 8 worker threads
// and fills in their missing Ed25519 identities and ntor keys. Each batch
// request must finish within min(timeout_ms, 3000) as a whole; batches that
// fail on every source tried are logged and skipped.
void hydrate_microdescriptors(Consensus& consensus, const util::HostPort& bootstrap,
                              i32 timeout_ms);

// Test seam: hydrate_microdescriptors with the fetch of one batch path from
// one source replaced (the real one is http_get_direct_within). The function is
// copied; workers left running after a failed call may still use their copy.
using MicrodescriptorFetch =
    std::function<Bytes(const util::HostPort& source, const std::string& path, i32 timeout_ms)>;
void hydrate_microdescriptors_with(Consensus& consensus, const util::HostPort& bootstrap,
                                   i32 timeout_ms, MicrodescriptorFetch fetch);

}  // namespace mistgrove_core::directory
