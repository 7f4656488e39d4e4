// How the crypto sources treat OpenSSL calls that cannot fail for valid input
// (allocation, a missing algorithm): as faults of the program, not as Error;
// and the algorithm they share, fetched once.
#pragma once

#include <openssl/err.h>
#include <openssl/types.h>

#include <stdexcept>
#include <string>

namespace mistgrove_core::crypto {

// Throws std::runtime_error (deliberately not Error) naming the failed call,
// and leaves the thread's OpenSSL error queue empty for the TLS code.
inline void check_ossl(bool ok, const char* call) {
  if (ok) return;
  ERR_clear_error();
  throw std::runtime_error(std::string("OpenSSL ") + call + " failed");
}

// SHA3-256 as fetched once for the process (primitives.cc): the one-shot
// hashes, the HSDir ring and the onion-service hop's running digests.
const EVP_MD* fetched_sha3_256();

}  // namespace mistgrove_core::crypto
