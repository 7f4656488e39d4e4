// The per-thread generator that every shuffle of the core draws from.
#include "mistgrove_core/crypto.h"

namespace mistgrove_core::crypto {

std::mt19937_64& thread_rng() {
  thread_local std::mt19937_64 rng = [] {
    const Bytes entropy = random_bytes(32);
    std::seed_seq seed(entropy.begin(), entropy.end());
    return std::mt19937_64(seed);
  }();
  return rng;
}

}  // namespace mistgrove_core::crypto
