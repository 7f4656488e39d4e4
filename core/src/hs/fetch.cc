// The onion service's descriptor from its hidden-service directories: one
// fresh guard-to-HSDir circuit per attempt, an HTTP GET on a BEGIN_DIR
// stream, then decryption; the first HSDir whose answer decrypts wins.
#include "fetch.h"

#include <algorithm>
#include <ctime>

#include "descriptor.h"
#include "mistgrove_core/error.h"
#include "mistgrove_core/hs.h"
#include "mistgrove_core/log.h"
#include "mistgrove_core/tor.h"
#include "stream_steps.h"

namespace mistgrove_core::hs {
namespace {

using directory::Relay;
using error::err;

constexpr std::string_view kLog = "mistgrove_core::hs";
constexpr std::string_view kCircuitLog = "mistgrove_core::circuit";
constexpr u16 kDirStream = 1;
constexpr u64 kMaxDirResponse = 8 * 1024 * 1024;

}  // namespace

const Relay* choose_hsdir_guard(const std::vector<Relay>& guards, const Relay& hsdir,
                                std::size_t& counter) {
  const std::size_t n = guards.size();
  for (std::size_t k = counter; k < counter + n; ++k) {
    const Relay& guard = guards[k % n];
    if (guard.ed25519_id == hsdir.ed25519_id) continue;
    counter = (k + 1) % n;
    return &guard;
  }
  return nullptr;
}

Bytes begin_dir_get(circuit::Circuit& circ, const Relay& hsdir, std::string_view path) {
  const std::size_t hop = circ.hop_count() - 1;
  auto send = [&](u8 command, u16 stream_id, ByteView data) {
    circ.send_relay_cell(tor::kCellRelay, hop, command, stream_id, data);
  };
  send(circuit::kRelayBeginDir, kDirStream, {});
  // One deadline for the whole stream: a hostile HSDir must not keep the
  // fetch going with a trickle of cells.
  const circuit::Wait wait = circ.wait_for("CONNECTED");
  if (!await_connected([&](const circuit::Wait& w) { return circ.recv_relay(w); }, wait,
                       kDirStream))
    throw err(fmt::format("BEGIN_DIR rejected by {}", hsdir.nickname));

  const StreamIo io{
      [&](std::string_view awaited) { return circuit::Wait{awaited, wait.deadline}; },
      [&](const circuit::Wait& w) { return circ.recv_relay(w); },
      send,
      [&] { return circ.backward_digest(hop); },
      [&] { return circ.forward_digest(hop); },
  };
  return directory::decode_http_body(exchange_on_stream(
      io, kDirStream, util::text_bytes(directory::directory_request_text(path, hsdir.address)),
      kMaxDirResponse, {"directory stream", "BEGIN_DIR response too large"}));
}

Bytes fetch_from_hsdir(const Relay& hsdir, const Relay& guard, std::string_view path,
                       i32 timeout_ms) {
  log::info(kCircuitLog, "opening BEGIN_DIR request to {} via guard {}", hsdir.nickname,
            guard.nickname);
  circuit::Circuit circ = circuit::Circuit::create_fast(
      tor::TorChannel::open(guard.address, guard.or_port, timeout_ms), timeout_ms);
  circ.extend_ntor(hsdir);
  return begin_dir_get(circ, hsdir, path);
}

FetchedDescriptor fetch_hidden_service_descriptor(const directory::Consensus& consensus,
                                                  const directory::HsPeriodKeys& keys,
                                                  i32 timeout_ms) {
  return fetch_hidden_service_descriptor_with(consensus, keys, timeout_ms, fetch_from_hsdir);
}

FetchedDescriptor fetch_hidden_service_descriptor_with(const directory::Consensus& consensus,
                                                       const directory::HsPeriodKeys& keys,
                                                       i32 timeout_ms, const HsdirFetch& fetch,
                                                       std::optional<u64> now) {
  std::vector<const Bytes*> shared_randoms;
  for (const Bytes* srv : {&consensus.srv_current, &consensus.srv_previous})
    if (!srv->empty()) shared_randoms.push_back(srv);
  if (shared_randoms.empty()) throw err("consensus has no shared-rand values");

  const std::string path = "/tor/hs/3/" + util::base64_encode_unpadded(keys.blinded_key);
  std::string last_error;
  const std::vector<Relay> guards = directory::candidate_rendezvous_relays(consensus);

  for (const Bytes* srv : shared_randoms) {
    std::vector<Relay> hsdirs = directory::select_hsdirs(consensus, keys.blinded_key, *srv,
                                                         keys.period_num, keys.period_length);
    std::shuffle(hsdirs.begin(), hsdirs.end(), crypto::thread_rng());
    std::size_t counter = 0;
    for (const Relay& hsdir : hsdirs) {
      log::info(kLog, "fetching descriptor from HSDir {}", hsdir.nickname);
      try {
        const Relay* guard = choose_hsdir_guard(guards, hsdir, counter);
        if (guard == nullptr) throw err("no guard available for HSDir request");
        Bytes document = fetch(hsdir, *guard, path, timeout_ms);
        HiddenServiceDescriptor descriptor =
            decrypt_hs_descriptor(util::to_string_lossy(document), keys,
                                  now.value_or(static_cast<u64>(std::time(nullptr))));
        return {std::move(descriptor), *guard};
      } catch (const error::Error& e) {
        last_error = e.message();
        log::debug(kLog, "descriptor fetch from HSDir {} failed: {}", hsdir.nickname, last_error);
      }
    }
  }
  throw err(fmt::format("failed to fetch/decrypt hidden service descriptor: {}", last_error));
}

}  // namespace mistgrove_core::hs
