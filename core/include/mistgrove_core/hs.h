// The onion-service client as the session calls it: the service's descriptor
// fetched and decrypted, then a stream to the service over a rendezvous
// circuit. The steps in between have private headers in core/src/hs/.
#pragma once

#include <string_view>
#include <utility>
#include <vector>

#include "mistgrove_core/circuit.h"
#include "mistgrove_core/crypto.h"
#include "mistgrove_core/directory.h"
#include "mistgrove_core/options.h"
#include "mistgrove_core/util.h"

namespace mistgrove_core::hs {

// One introduction point of a service as its descriptor lists it. A kept
// record has three 32-byte keys and an IPv4 link specifier (type 0, 6 bytes).
struct IntroductionPoint {
  // As the "introduction-point" line gives them, in wire order.
  std::vector<directory::LinkSpecifier> link_specifiers;
  Bytes onion_key;  // the point's ntor onion key
  Bytes auth_key;   // certified key of the auth-key certificate
  Bytes enc_key;    // the service's ntor encryption key for this point
};

// The usable content of one decrypted descriptor; intro_points is never empty.
struct HiddenServiceDescriptor {
  std::vector<IntroductionPoint> intro_points;  // document order
};

// A stream to the onion service on a completed rendezvous circuit; one
// request on one thread. Dropping it closes the link; no END is sent.
class RendezvousStream {
 public:
  RendezvousStream(circuit::Circuit circuit, crypto::RelayCrypto hs_crypto)
      : circuit(std::move(circuit)), hs_crypto(std::move(hs_crypto)) {}

  // BEGIN ":port" and the wait for CONNECTED; END first fails "onion service
  // stream ended before CONNECTED".
  void begin(u16 stream_id, u16 port);
  // The next cell the service sent within `wait`; bodies the end-to-end hop
  // does not recognize are skipped.
  circuit::RelayCell recv_hs(const circuit::Wait& wait);
  // The stream exchange with the service: `payload` sent within the package
  // windows, then the stream's data until END; beyond `limit` bytes "stream
  // response too large". Empty payload sends nothing.
  Bytes exchange(u16 stream_id, ByteView payload, u64 limit);

  circuit::Circuit circuit;       // guard, then rendezvous point unless the same
  crypto::RelayCrypto hs_crypto;  // the end-to-end hop (SHA3-256, AES-256)

 private:
  void send_hs(u8 command, u16 stream_id, ByteView data);
};

// A decrypted descriptor and the guard whose circuit fetched it.
struct FetchedDescriptor {
  HiddenServiceDescriptor descriptor;
  directory::Relay guard;
};

// The service's descriptor for the period of `keys`: for the current, then the
// previous shared random value, each responsible HSDir in random order over a
// fresh two-hop circuit (guard, HSDir) until one answer decrypts. Every link
// waits at most timeout_ms per connect, read and write, and every wait for a
// cell at most timeout_ms in all.
FetchedDescriptor fetch_hidden_service_descriptor(const directory::Consensus& consensus,
                                                  const directory::HsPeriodKeys& keys,
                                                  i32 timeout_ms);

// Up to 12 rendezvous points with up to 3 guards each, the preferred guards
// (those usable) first in the guard list; the first stream that works.
RendezvousStream connect_onion_service_with_retries(
    const Options& options, const directory::Consensus& consensus,
    const HiddenServiceDescriptor& descriptor, const directory::HsPeriodKeys& keys,
    const std::vector<directory::Relay>& preferred_guards);

}  // namespace mistgrove_core::hs
