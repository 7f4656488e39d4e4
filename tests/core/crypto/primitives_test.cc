// Hashes, MACs, KDFs, X25519 and AES-CTR against published vectors and the
// answers of tools/vectors/crypto_vectors.py (hashlib and `cryptography`).
#include <gtest/gtest.h>
#include <openssl/err.h>

#include <functional>
#include <map>

#include "base/test_support.h"
#include "mistgrove_core/crypto.h"

namespace mistgrove_core::crypto {
namespace {

using mistgrove_test::error_of;
using mistgrove_test::hex;
using mistgrove_test::Record;

TEST(KnownAnswers, FromIndependentImplementations) {
  const std::map<std::string, std::function<Bytes(const Record&)>> kCompute = {
      {"sha1", [](const Record& r) { return sha1(r.bytes(1)); }},
      {"sha256", [](const Record& r) { return sha256(r.bytes(1)); }},
      {"sha3_256", [](const Record& r) { return sha3_256(r.bytes(1)); }},
      {"shake256", [](const Record& r) { return shake256(r.bytes(1), r.number(2)); }},
      {"hmac_sha256", [](const Record& r) { return hmac_sha256(r.bytes(1), r.bytes(2)); }},
      {"hkdf_expand", [](const Record& r) { return hkdf_sha256_expand(r.bytes(1)); }},
      {"kdf_tor", [](const Record& r) { return kdf_tor(r.bytes(1), r.number(2)); }},
      {"tor_mac", [](const Record& r) { return tor_mac(r.bytes(1), r.bytes(2)); }},
      {"aes_ctr",
       [](const Record& r) { return aes_ctr_crypt(r.bytes(1), r.bytes(3), r.bytes(2)); }},
  };
  std::size_t checked = 0;
  for (const auto& r : mistgrove_test::load_records("crypto_vectors.txt")) {
    auto compute = kCompute.find(r.kind());
    if (compute == kCompute.end()) continue;
    SCOPED_TRACE(r.kind() + " " + r.text(1).substr(0, 40));
    EXPECT_EQ(compute->second(r), r.bytes(r.fields.size() - 1));  // the answer comes last
    ++checked;
  }
  EXPECT_EQ(checked, 52u);
}

TEST(HmacSha256, Rfc4231) {
  const Bytes big_key(131, 0xaa);
  const struct {
    Bytes key, data;
    const char* tag;
  } kCases[] = {
      {Bytes(20, 0x0b), util::from_string("Hi There"),
       "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
      {util::from_string("Jefe"), util::from_string("what do ya want for nothing?"),
       "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
      {Bytes(20, 0xaa), Bytes(50, 0xdd),
       "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
      {hex("0102030405060708090a0b0c0d0e0f10111213141516171819"), Bytes(50, 0xcd),
       "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
      {big_key, util::from_string("Test Using Larger Than Block-Size Key - Hash Key First"),
       "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
      {big_key,
       util::from_string("This is a test using a larger than block-size key and a larger than "
                         "block-size data. The key needs to be hashed before being used by the "
                         "HMAC algorithm."),
       "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
  };
  for (const auto& c : kCases) EXPECT_EQ(hmac_sha256(c.key, c.data), hex(c.tag)) << c.tag;
}

TEST(X25519, Rfc7748) {
  static const struct {
    const char *scalar, *u, *out;
  } kCases[] = {
      // Section 5.2, then section 6.1: Alice with Bob's public key and Bob with Alice's.
      {"a546e36bf0527c9d3b16154b82465edd62144c0ac1fc5a18506a2244ba449ac4",
       "e6db6867583030db3594c1a424b15f7c726624ec26b3353b10a903a6d0ab1c4c",
       "c3da55379de9c6908e94ea4df28d084f32eccf03491c71f754b4075577a28552"},
      {"4b66e9d4d1b4673c5ad22691957d6af5c11b6421e0ea01d42ca4169e7918ba0d",
       "e5210f12786811d3f4b7959d0538ae2c31dbe7106fc03c3efc4cd549c715a493",
       "95cbde9476e8907d7aade45cb4b873f88b595a68799fa152e6f8f7647aac7957"},
      {"77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a",
       "de9edb7d7b7dc1b4d35b61c2ece435373f8343c85b78674dadfc7e146f882b4f",
       "4a5d9d5ba4ce2de1728e3bf480350f25e07e21c947d19e3376f09b3c1e161742"},
      {"5dab087e624a8a4b79e17f8b83800ee66f3bb1292618b6fd1c2f8b27ff88e0eb",
       "8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a",
       "4a5d9d5ba4ce2de1728e3bf480350f25e07e21c947d19e3376f09b3c1e161742"},
  };
  for (const auto& c : kCases) EXPECT_EQ(x25519_shared(hex(c.scalar), hex(c.u)), hex(c.out));
  EXPECT_EQ(x25519_public_from_private(hex(kCases[2].scalar)), hex(kCases[3].u));
  EXPECT_EQ(x25519_public_from_private(hex(kCases[3].scalar)), hex(kCases[2].u));
}

// A peer point of small order gives the all-zero secret, handed back for the
// handshakes to refuse, with nothing left in the thread's OpenSSL error queue.
TEST(X25519, SmallOrderPeerGivesAllZero) {
  for (const char* u : {"0000000000000000000000000000000000000000000000000000000000000000",
                        "0100000000000000000000000000000000000000000000000000000000000000",
                        "e0eb7a7c3b41b8ae1656e3faf19fc46ada098deb9c32b1fd866205165f49b800"}) {
    EXPECT_EQ(x25519_shared(Bytes(32, 0x42), hex(u)), Bytes(32, 0)) << u;
  }
  EXPECT_EQ(ERR_peek_error(), 0u);
}

TEST(AesCtr, NistSp800_38a) {
  const Bytes counter = hex("f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff");
  const Bytes plain =
      hex("6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
          "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");
  // F.5.1 (AES-128) and F.5.5 (AES-256).
  EXPECT_EQ(aes_ctr_crypt(hex("2b7e151628aed2a6abf7158809cf4f3c"), plain, counter),
            hex("874d6191b620e3261bef6864990db6ce9806f66b7970fdff8617187bb9fffdff"
                "5ae4df3edbd5d35e5b4f09020db03eab1e031dda2fbe03d1792170a0f3009cee"));
  EXPECT_EQ(aes_ctr_crypt(hex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4"),
                          plain, counter),
            hex("601ec313775789a5b7a7f504bbf3d228f443e3ca4d62b59aca84e990cacaf5c5"
                "2b0930daa23de94ce87017ba2d84988ddfc9c58db67aada613c2dd08457941a6"));
}

TEST(AesCtr, KeystreamIndependentOfCallSizes) {
  const Bytes key(16, 7), data(100, 0x5a);
  AesCtr pieces(key, Bytes(16, 0));
  Bytes joined;
  for (std::size_t len : {10, 6, 0, 1, 16, 31, 36}) {
    const Bytes part = pieces.apply(ByteView(data).subspan(joined.size(), len));
    joined.insert(joined.end(), part.begin(), part.end());
  }
  EXPECT_EQ(joined, aes_ctr_crypt(key, data));
}

TEST(Crypto, InputFailures) {
  const Bytes k32(32, 1);
  const struct {
    std::function<void()> call;
    const char* error;
  } kCases[] = {
      {[&] { x25519_shared(Bytes(31, 1), k32); }, "bad x25519 inputs"},
      {[&] { x25519_shared(k32, Bytes(33, 1)); }, "bad x25519 inputs"},
      {[&] { x25519_public_from_private(Bytes(31, 1)); }, "bad x25519 private key"},
      {[&] { AesCtr(Bytes(24), Bytes(12)); }, "bad aes ctr iv"},  // the IV is judged first
      {[&] { aes_ctr_crypt(Bytes(24), Bytes(3), Bytes(16)); }, "aes setkey failed"},
      {[&] { AesCtr(Bytes(0), Bytes(16)); }, "aes setkey failed"},
  };
  for (const auto& c : kCases) EXPECT_EQ(error_of(c.call), c.error) << c.error;
}

TEST(Crypto, Helpers) {
  EXPECT_TRUE(ct_equal(util::from_string("abc"), util::from_string("abc")));
  EXPECT_FALSE(ct_equal(util::from_string("abc"), util::from_string("abd")));
  EXPECT_FALSE(ct_equal(util::from_string("abc"), util::from_string("ab")));
  Bytes secret = util::from_string("secret");
  wipe(secret);
  EXPECT_EQ(secret, Bytes(6, 0));
  EXPECT_EQ(random_bytes(300).size(), 300u);  // more than one getentropy call
  EXPECT_NE(random_bytes(32), random_bytes(32));
}

}  // namespace
}  // namespace mistgrove_core::crypto
