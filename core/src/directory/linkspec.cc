// Link-specifier blocks (NSPEC, then type, length and body per specifier) and
// the three specifiers that name a relay of the consensus.
#include <array>
#include <optional>

#include "mistgrove_core/directory.h"
#include "mistgrove_core/error.h"

namespace mistgrove_core::directory {
namespace {

using error::err;

// A strict dotted quad: four numbers of one to three digits, 0 to 255, no
// leading zero but in "0" itself, nothing else around them.
std::optional<std::array<u8, 4>> parse_dotted_quad(std::string_view text) {
  if (text.size() > 15) return std::nullopt;
  std::array<u8, 4> out{};
  std::size_t pos = 0;
  for (std::size_t part = 0; part < 4; ++part) {
    if (part > 0) {
      if (pos >= text.size() || text[pos] != '.') return std::nullopt;
      ++pos;
    }
    std::size_t start = pos;
    int value = 0;
    while (pos < text.size() && pos - start < 3 && text[pos] >= '0' && text[pos] <= '9')
      value = value * 10 + (text[pos++] - '0');
    const std::size_t digits = pos - start;
    if (digits == 0 || value > 255 || (digits > 1 && text[start] == '0')) return std::nullopt;
    out[part] = static_cast<u8>(value);
  }
  if (pos != text.size()) return std::nullopt;
  return out;
}

}  // namespace

std::vector<LinkSpecifier> parse_link_specifiers(ByteView block) {
  util::ByteReader reader(block);
  const std::size_t count = reader.read_u8("empty link specifier block");
  std::vector<LinkSpecifier> specs;
  specs.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    const u8 kind = reader.read_u8("truncated link specifier");
    const u8 length = reader.read_u8("truncated link specifier");
    const ByteView body = reader.read_bytes(length, "truncated link specifier body");
    specs.push_back(LinkSpecifier{Bytes(body.begin(), body.end()), kind});
  }
  // Bytes after the last counted specifier are not ours to judge.
  return specs;
}

Bytes serialize_link_specifiers(const std::vector<LinkSpecifier>& specs) {
  if (specs.size() > 255) throw err("too many link specifiers");
  util::ByteWriter out;
  out.put_u8(static_cast<u8>(specs.size()));
  for (const LinkSpecifier& spec : specs) {
    if (spec.data.size() > 255) throw err("link specifier too large");
    out.put_u8(spec.kind);
    out.put_u8(static_cast<u8>(spec.data.size()));
    out.put_bytes(spec.data);
  }
  return out.take();
}

std::vector<LinkSpecifier> relay_link_specifiers(const Relay& relay) {
  const auto address = parse_dotted_quad(relay.address);
  if (!address) throw err("relay has non-IPv4 address");
  util::ByteWriter ipv4(LinkSpecifier::kIpv4Len);
  ipv4.put_bytes(*address);
  ipv4.put_u16(relay.or_port);
  std::vector<LinkSpecifier> specs{
      LinkSpecifier{ipv4.take(), LinkSpecifier::kIpv4},
      LinkSpecifier{relay.rsa_identity.to_bytes(), LinkSpecifier::kRsaId}};
  // tor refuses an empty Ed25519 specifier: a relay whose identity was never
  // completed from a microdescriptor is named by its RSA identity alone.
  if (!relay.ed25519_id.empty())
    specs.push_back(LinkSpecifier{relay.ed25519_id.to_bytes(), LinkSpecifier::kEd25519Id});
  return specs;
}

}  // namespace mistgrove_core::directory
