// Hashes, MACs, KDFs, X25519 and AES-CTR against the answers of
// tools/vectors/crypto_vectors.py: hashlib and `cryptography`, and the
// published vectors of RFC 4231, RFC 7748 and NIST SP 800-38A.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <functional>
#include <map>
#include <new>

#include "base/test_support.h"
#include "mistgrove_core/crypto.h"

// What the block at `g_watched` held when it was freed: containers free their
// storage by the sized operator delete, which this program replaces; it hands
// the block on to the default unsized one.
#pragma GCC diagnostic ignored "-Wsized-deallocation"
const void* g_watched = nullptr;
std::array<std::uint8_t, 32> g_freed{1};

void operator delete(void* block, std::size_t size) noexcept {
  if (block == g_watched && size == g_freed.size()) std::memcpy(g_freed.data(), block, size);
  ::operator delete(block);
}

namespace mistgrove_core::crypto {
namespace {

using mistgrove_test::error_of;
using mistgrove_test::hex;
using mistgrove_test::Record;

TEST(KnownAnswers, FromIndependentImplementations) {
  const std::map<std::string, std::function<Bytes(const Record&)>> kCompute = {
      {"sha256", [](const Record& r) { return sha256(r.bytes(1)); }},
      {"sha3_256", [](const Record& r) { return sha3_256(r.bytes(1)); }},
      {"shake256", [](const Record& r) { return shake256(r.bytes(1), r.number(2)); }},
      {"hmac_sha256", [](const Record& r) { return hmac_sha256(r.bytes(1), r.bytes(2)); }},
      {"hkdf_expand", [](const Record& r) { return hkdf_sha256_expand(r.bytes(1)); }},
      {"kdf_tor", [](const Record& r) { return kdf_tor(r.bytes(1), r.number(2)); }},
      {"tor_mac", [](const Record& r) { return tor_mac(r.bytes(1), r.bytes(2)); }},
      {"aes_ctr",
       [](const Record& r) { return aes_ctr_crypt(r.bytes(1), r.bytes(3), r.bytes(2)); }},
      {"x25519", [](const Record& r) { return x25519_shared(r.bytes(1), r.bytes(2)); }},
      {"x25519_public", [](const Record& r) { return x25519_public_from_private(r.bytes(1)); }},
  };
  std::size_t checked = 0;
  for (const auto& r : mistgrove_test::load_records("crypto_vectors.txt")) {
    auto compute = kCompute.find(r.kind());
    if (compute == kCompute.end()) continue;
    SCOPED_TRACE(r.kind() + " " + r.text(1).substr(0, 40));
    EXPECT_EQ(compute->second(r), r.bytes(r.fields.size() - 1));  // the answer comes last
    ++checked;
  }
  EXPECT_EQ(checked, 62u);
}

// SHA-1 against FIPS 180's answers, then KDF-TOR as SHA-1 blocks of the seed
// and a one-byte counter, up to the last counter value.
TEST(Sha1, KnownAnswersAndKdfTorBlocks) {
  const std::pair<std::string_view, const char*> kSha1[] = {
      {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
      {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
  };
  for (const auto& [text, digest] : kSha1) EXPECT_EQ(sha1(util::from_string(text)), hex(digest));

  const Bytes seed = hex("688245e197a075d56a7f60a8060ee6f04a2b33b5");
  Bytes blocks;  // SHA1(seed | 0) | ... | SHA1(seed | 255)
  for (int i = 0; i < 256; ++i)
    blocks = util::concat({blocks, sha1(util::concat({seed, Bytes{u8(i)}}))});
  for (const std::size_t len : {0, 1, 19, 20, 21, 92, 5100, 5120}) {
    SCOPED_TRACE(len);
    EXPECT_EQ(kdf_tor(seed, len), Bytes(blocks.begin(), blocks.begin() + len));
  }
  EXPECT_THROW(kdf_tor(seed, 5121), std::length_error);  // the counter would wrap
}

TEST(Crypto, InputFailures) {
  EXPECT_EQ(error_of([] { x25519_shared(Bytes(31, 1), Bytes(32, 1)); }), "bad x25519 inputs");
  EXPECT_EQ(error_of([] { x25519_shared(Bytes(32, 1), Bytes(33, 1)); }), "bad x25519 inputs");
  EXPECT_EQ(error_of([] { x25519_public_from_private(Bytes(31, 1)); }), "bad x25519 private key");
  // The IV is judged before the key.
  EXPECT_EQ(error_of([] { AesCtr(Bytes(24), Bytes(12)); }), "bad aes ctr iv");
  EXPECT_EQ(error_of([] { AesCtr(Bytes(0), Bytes(16)); }), "aes setkey failed");
}

TEST(Crypto, Helpers) {
  EXPECT_FALSE(ct_equal(util::from_string("abc"), util::from_string("ab")));  // not a prefix test
  EXPECT_EQ(random_bytes(300).size(), 300u);  // more than one getentropy call
  Bytes secret(33, 7);
  wipe(secret);
  EXPECT_EQ(secret, Bytes(33, 0));
}

TEST(Secret, LeavesNoKeyInFreedMemory) {
  {
    Secret key(Bytes(32, 0xA5));
    g_watched = key.bytes.data();
  }
  EXPECT_EQ(g_freed, decltype(g_freed){});  // seen on its way out, all zero
}

}  // namespace
}  // namespace mistgrove_core::crypto
