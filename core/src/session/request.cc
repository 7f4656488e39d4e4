// One request end to end: a private copy of the consensus, the service's
// period keys and descriptor, a rendezvous, and one stream.
#include "mistgrove_core/hs.h"
#include "mistgrove_core/session.h"
#include "steps.h"

namespace mistgrove_core {
namespace {
// Every request carries exactly one stream.
constexpr u16 kStreamId = 1;
}  // namespace

Bytes Session::request(std::string_view onion, u16 port, ByteView payload,
                       u64 response_limit) const {
  // The lock is held only for the copy; all network work runs on the copy.
  const directory::Consensus consensus = consensus_.copy();
  return request_bytes(options_, consensus, onion, port, payload, response_limit);
}

Bytes request_bytes(const Options& options, const directory::Consensus& consensus,
                    std::string_view onion, u16 port, ByteView payload, u64 response_limit) {
  Options target = options;
  target.host = std::string(onion);
  target.port = port;
  const Bytes identity_key = directory::parse_onion_address(target.host);
  const directory::HsPeriodKeys keys = directory::derive_hs_period_keys(consensus, identity_key);
  hs::FetchedDescriptor fetched =
      hs::fetch_hidden_service_descriptor(consensus, keys, target.timeout_ms);
  hs::RendezvousStream stream = hs::connect_onion_service_with_retries(
      target, consensus, fetched.descriptor, keys, {std::move(fetched.guard)});
  stream.begin(kStreamId, port);
  return stream.exchange(kStreamId, payload, response_limit);
}

}  // namespace mistgrove_core
