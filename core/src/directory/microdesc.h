// Microdescriptor parsing and the fetch seam of their completion, private
// to the directory module.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "mistgrove_core/directory.h"
#include "mistgrove_core/util.h"

namespace mistgrove_core::directory {

// The two keys taken from one microdescriptor; empty when it has no such line.
struct MicrodescriptorFields {
  Bytes ed25519_id;
  Bytes ntor_onion_key;
  bool operator==(const MicrodescriptorFields&) const = default;
};

// Keyed by the unpadded base64 SHA-256 of each microdescriptor's exact text,
// the form of Relay::microdesc_digest.
using MicrodescriptorIndex = std::map<std::string, MicrodescriptorFields, std::less<>>;

std::vector<std::string> split_microdescriptors(std::string_view text);
MicrodescriptorFields parse_microdescriptor_fields(std::string_view text);
MicrodescriptorIndex index_microdescriptors(std::string_view text);

// Test seam: hydrate_microdescriptors with the fetch of one batch path from
// one source replaced (the real one is http_get_direct_within). The function is
// copied; workers left running after a failed call may still use their copy.
using MicrodescriptorFetch =
    std::function<Bytes(const util::HostPort& source, const std::string& path, i32 timeout_ms)>;
void hydrate_microdescriptors_with(Consensus& consensus, const util::HostPort& bootstrap,
                                   i32 timeout_ms, MicrodescriptorFetch fetch);

}  // namespace mistgrove_core::directory
