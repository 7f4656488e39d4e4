// Onion addresses, time periods, key blinding and subcredentials, checked
// against answers computed outside the core (tools/vectors/onion_vectors.py)
// and a real service's blinded key.
#include <gtest/gtest.h>

#include <cctype>
#include <optional>

#include "base/test_support.h"
#include "mistgrove_core/crypto.h"
#include "directory/onion.h"
#include "mistgrove_core/directory.h"

namespace mistgrove_core::directory {
namespace {

using mistgrove_test::error_of;
using mistgrove_test::hex;
using mistgrove_test::load_records;

constexpr const char* kVectors = "onion_vectors.txt";

// The real service's key and address.
const Bytes& identity() {
  static const Bytes key = load_records(kVectors, "identity")[0].bytes(1);
  return key;
}
const std::string& address() {
  static const std::string text = load_records(kVectors, "address")[0].text(1);
  return text;
}

// A v3 address for these 32 key bytes with the given version byte and the
// checksum of version 3, its first byte xored with `flip`.
std::string onion_address(ByteView key, u8 version, u8 flip = 0) {
  const Bytes digest =
      crypto::sha3_256(util::concat({util::text_bytes(".onion checksum"), key, Bytes{3}}));
  const Bytes raw =
      util::concat({key, Bytes{static_cast<u8>(digest[0] ^ flip), digest[1], version}});
  std::string text;
  u32 bits = 0, pending = 0;
  for (u8 byte : raw) {
    pending = (pending << 8) | byte;
    for (bits += 8; bits >= 5;)
      text.push_back("abcdefghijklmnopqrstuvwxyz234567"[(pending >> (bits -= 5)) & 31]);
  }
  return text;
}

Consensus consensus_at(i64 valid_after, i64 fresh_until, std::optional<i32> interval) {
  Consensus c;
  c.valid_after = valid_after;
  c.fresh_until = fresh_until;
  if (interval) c.params["hsdir-interval"] = *interval;
  return c;
}

TEST(OnionAddress, AcceptsRealAddressInEveryForm) {
  const std::string bare = address().substr(0, 56);
  std::string upper = bare;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (const std::string& form :
       {bare, upper, bare + ".onion", upper + ".ONION", upper + ".onion"}) {
    EXPECT_EQ(parse_onion_address(form), identity()) << form;
  }
}

TEST(OnionAddress, Refusals) {
  const std::string real = address().substr(0, 56);
  std::string digit = real;
  digit[10] = '1';
  const struct {
    std::string text, message;
  } kCases[] = {
      {onion_address(identity(), 3, 0x01), "bad onion checksum"},
      {onion_address(identity(), 3, 0x80), "bad onion checksum"},
      {onion_address(identity(), 4), "only v3 onion addresses are supported"},
      {onion_address(identity(), 2, 0x01), "only v3 onion addresses are supported"},
      {digit, "invalid base32 character in onion address"},
      {real.substr(1), "v3 onion address must have 56 base32 characters"},
      {real + ".onion.onion", "v3 onion address must have 56 base32 characters"},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(error_of([&] { parse_onion_address(c.text); }), c.message) << c.text;
  }
}

// All but the first decompress as Edwards points; libsodium's stricter check
// refuses all four, and so does the blinding.
TEST(OnionAddress, RefusesKeysThatAreNoHonestPoint) {
  const auto records = load_records(kVectors, "invalid_key");
  ASSERT_EQ(records.size(), 4u);
  for (const auto& r : records) {
    SCOPED_TRACE(r.text(1));
    EXPECT_EQ(error_of([&] { parse_onion_address(onion_address(r.bytes(2), 3)); }),
              "onion ed25519 key is invalid");
    EXPECT_EQ(error_of([&] { blind_onion_key(r.bytes(2), 20792, 1440); }),
              "ed25519 key blinding failed");
  }
}

// The blinded key under which the private network's directory served this
// service's descriptor.
TEST(KeyBlinding, ReproducesServedBlindedKey) {
  EXPECT_EQ(blind_onion_key(identity(), 1247622, 24),
            hex("1b94094556b3ecd45da5838575b55b15620c898ec18f15b137c1c381177eb4c2"));
  EXPECT_EQ(error_of([] { blind_onion_key(Bytes(31, 0x11), 1, 1440); }), "bad onion pubkey");
  EXPECT_EQ(error_of([] { derive_hs_period_keys(Consensus{}, Bytes(33, 0x11)); }),
            "bad onion pubkey");
}

TEST(PeriodKeys, MatchIndependentAnswers) {
  for (const auto& r : load_records(kVectors, "period")) {
    SCOPED_TRACE(r.text(1));
    const i32 interval = static_cast<i32>(r.number(3));
    const auto keys = derive_hs_period_keys(
        consensus_at(static_cast<i64>(r.number(1)), static_cast<i64>(r.number(2)), interval),
        identity());
    EXPECT_EQ(keys.period_num, r.number(4));
    EXPECT_EQ(keys.period_length, interval);
    EXPECT_EQ(keys.blinded_key, r.bytes(5));
    EXPECT_EQ(keys.subcredential, r.bytes(6));
  }
}

TEST(PeriodKeys, PeriodNumberAndLength) {
  constexpr i64 k1800 = 1796493600;  // 2026-12-05 18:00:00 UTC
  constexpr i64 k1130 = k1800 - 6 * 3600 - 1800;
  const struct {
    const char* name;
    i64 valid_after, fresh_until;
    std::optional<i32> interval;
    u64 period_num;
    i32 period_length;
  } kCases[] = {
      {"example", k1800, k1800 + 3600, std::nullopt, 20792, 1440},
      {"fresh-until equal", k1130, k1130, std::nullopt, 20791, 1440},
      {"under a minute", k1130, k1130 + 59, std::nullopt, 20791, 1440},
      // hsdir-interval <= 0 would divide by zero or wrap: the default holds.
      {"zero interval", k1800, k1800 + 3600, 0, 20792, 1440},
      {"minimum interval", k1800, k1800 + 3600, INT32_MIN, 20792, 1440},
      {"before the offset", 600 * 60, 600 * 60 + 3600, std::nullopt, 0, 1440},
      {"one-minute periods", 725 * 60, 725 * 60 + 3600, 1, 5, 1},
      {"negative time", -86400 * 10, -86400 * 10 + 3600, std::nullopt, 0, 1440},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const auto keys =
        derive_hs_period_keys(consensus_at(c.valid_after, c.fresh_until, c.interval), identity());
    EXPECT_EQ(keys.period_num, c.period_num);
    EXPECT_EQ(keys.period_length, c.period_length);
  }
}

}  // namespace
}  // namespace mistgrove_core::directory
