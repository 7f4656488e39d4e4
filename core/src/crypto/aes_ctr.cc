// AES-128/256 in counter mode through OpenSSL's EVP interface, which keeps the
// 128-bit counter and the partly used keystream block between calls and uses
// the processor's AES instructions when present.
#include <openssl/evp.h>

#include <algorithm>
#include <climits>

#include "mistgrove_core/crypto.h"
#include "mistgrove_core/error.h"
#include "openssl_check.h"

namespace mistgrove_core::crypto {
namespace {

// Fetched once for the process: EVP_aes_128_ctr() in an init call has
// OpenSSL look the implementation up in its providers for every keystream,
// and each hop starts two.
const EVP_CIPHER* fetched(const char* name) {
  EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, name, nullptr);
  check_ossl(cipher != nullptr, "EVP_CIPHER_fetch");
  return cipher;
}

}  // namespace

AesCtr::AesCtr(ByteView key, ByteView iv) {
  if (iv.size() != 16) throw error::Error("bad aes ctr iv");
  if (key.size() != 16 && key.size() != 32) throw error::Error("aes setkey failed");
  static const EVP_CIPHER* const aes128 = fetched("AES-128-CTR");
  static const EVP_CIPHER* const aes256 = fetched("AES-256-CTR");
  const EVP_CIPHER* cipher = key.size() == 16 ? aes128 : aes256;
  ctx_.reset(EVP_CIPHER_CTX_new());
  check_ossl(ctx_ && EVP_EncryptInit_ex(ctx_.get(), cipher, nullptr, key.data(), iv.data()) == 1,
             "EVP_EncryptInit_ex");
}

void AesCtr::apply_in_place(std::span<u8> data) {
  while (!data.empty()) {
    const int chunk = static_cast<int>(std::min<std::size_t>(data.size(), INT_MAX / 2));
    int written = 0;
    check_ossl(EVP_EncryptUpdate(ctx_.get(), data.data(), &written, data.data(), chunk) == 1,
               "EVP_EncryptUpdate");
    data = data.subspan(static_cast<std::size_t>(chunk));
  }
}

Bytes AesCtr::apply(ByteView data) {
  Bytes out(data.begin(), data.end());
  apply_in_place(out);
  return out;
}

Bytes aes_ctr_crypt(ByteView key, ByteView data, std::optional<ByteView> iv) {
  static constexpr std::array<u8, 16> kZeroIv{};
  AesCtr stream(key, iv.value_or(ByteView(kZeroIv)));
  return stream.apply(data);
}

}  // namespace mistgrove_core::crypto
