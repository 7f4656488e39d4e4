// libsodium picks its fastest implementations (and seeds its generator) in
// sodium_init, which every entry point of the crypto module that uses it
// runs first; later calls are a load of a static.
#pragma once

#include <sodium.h>

#include <stdexcept>

namespace mistgrove_core::crypto {

inline void ensure_sodium() {
  static const bool ready = sodium_init() >= 0;
  if (!ready) throw std::runtime_error("libsodium initialisation failed");
}

}  // namespace mistgrove_core::crypto
