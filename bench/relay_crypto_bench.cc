// Relay-cell cryptography on one core, in cells per second, for a three-hop
// circuit of relay hops (SHA-1, AES-128):
//   forward: encrypt_relay at the last hop plus the forward layers of the two
//            hops before it;
//   reverse: the three backward layers, each followed by recognize_decrypted
//            at that hop, as the circuit reads a cell from the last hop.
// --cells=N sets the batch (default 20000); the best of 5 rounds is reported.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "bench.h"
#include "mistgrove_core/crypto.h"

namespace mistgrove_bench {
namespace {

using namespace mistgrove_core;
using crypto::RelayCrypto;

constexpr int kHops = 3;
constexpr int kRounds = 5;
constexpr u8 kRelayData = 2;

// Keys of hop i; `relay_side` swaps the directions, giving the state the
// relay keeps for the same hop.
RelayCrypto hop(int i, bool relay_side) {
  const Bytes df(20, static_cast<u8>(4 * i)), db(20, static_cast<u8>(4 * i + 1));
  const Bytes kf(16, static_cast<u8>(4 * i + 2)), kb(16, static_cast<u8>(4 * i + 3));
  return relay_side ? RelayCrypto(db, df, kb, kf, false) : RelayCrypto(df, db, kf, kb, false);
}

std::vector<RelayCrypto> circuit(bool relay_side) {
  std::vector<RelayCrypto> hops;
  for (int i = 0; i < kHops; ++i) hops.push_back(hop(i, relay_side));
  return hops;
}

std::size_t cells(const Args& args) { return std::stoul(args.get("cells", "20000")); }

void report(const char* what, double seconds_per_batch, std::size_t n) {
  std::printf("   %s: %.0f cells/s (%.2f us/cell)\n", what, n / seconds_per_batch,
              1e6 * seconds_per_batch / n);
}

MG_BENCH("relay_crypto_forward") {
  const std::size_t n = cells(args);
  const Bytes data(crypto::kRelayDataMax, 0x61);
  double best = best_seconds(kRounds, 1, [&] {
    std::vector<RelayCrypto> hops = circuit(false);
    for (std::size_t c = 0; c < n; ++c) {
      Bytes body = hops[kHops - 1].encrypt_relay(kRelayData, 1, data);
      for (int i = kHops - 2; i >= 0; --i) hops[i].forward.apply_in_place(body);
    }
  });
  report("forward", best, n);
}

MG_BENCH("relay_crypto_reverse") {
  const std::size_t n = cells(args);
  // The cells as they leave the first relay: built by the last hop, then
  // wrapped in each relay's backward layer on the way.
  std::vector<RelayCrypto> relays = circuit(true);
  std::vector<Bytes> batch;
  batch.reserve(n);
  const Bytes data(crypto::kRelayDataMax, 0x62);
  for (std::size_t c = 0; c < n; ++c) {
    Bytes body = relays[kHops - 1].encrypt_relay(kRelayData, 1, data);
    for (int i = kHops - 2; i >= 0; --i) relays[i].forward.apply_in_place(body);
    batch.push_back(std::move(body));
  }
  std::size_t recognized = 0;
  double best = 1e300;
  for (int round = 0; round < kRounds; ++round) {
    std::vector<RelayCrypto> hops = circuit(false);
    std::vector<Bytes> cells = batch;
    recognized = 0;
    const auto start = std::chrono::steady_clock::now();
    for (Bytes& body : cells) {
      for (int i = 0; i < kHops; ++i) {
        hops[i].backward.apply_in_place(body);
        if (hops[i].recognize_decrypted(body)) {
          recognized += i == kHops - 1;
          break;
        }
      }
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    best = std::min(best, took.count());
  }
  report("reverse", best, n);
  if (recognized != n)
    std::printf("   error: %zu of %zu cells recognized at the last hop\n", recognized, n);
}

}  // namespace
}  // namespace mistgrove_bench
