// Shared by the link/circuit integration test and its benchmark: the private
// network's relays with the keys a circuit needs, and directory requests over
// BEGIN_DIR streams that keep both SENDME windows.
#pragma once

#include <algorithm>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "mistgrove_core/circuit.h"
#include "mistgrove_core/directory.h"
#include "testnet_state.h"

namespace mistgrove_test {

namespace mg = mistgrove_core;

// The first authority's DirPort and the routers of its consensus, with the
// keys of their microdescriptors (every router of the network is an HSDir).
struct Routers {
  mg::util::HostPort authority;
  std::vector<mg::directory::Relay> relays;

  const mg::directory::Relay& named(const std::string& nickname) const {
    for (const auto& r : relays)
      if (r.nickname == nickname) return r;
    throw std::runtime_error("no router " + nickname);
  }
};

inline Routers load_routers(const TestnetState& state, mg::i32 timeout_ms = 10000) {
  Routers out;
  out.authority = mg::util::parse_hostport(state["authority_dirports"][0].text(), 0);
  mg::directory::Consensus consensus =
      mg::directory::parse_consensus(mg::util::to_string_lossy(mg::directory::http_get_direct(
          out.authority, "/tor/status-vote/current/consensus-microdesc", timeout_ms)));
  mg::directory::hydrate_microdescriptors(consensus, out.authority, timeout_ms);
  out.relays = std::move(consensus.relays);
  return out;
}

// Directory requests on BEGIN_DIR streams of one circuit, to its last hop.
// Keeps the circuit-level deliver window of that hop across streams and the
// stream-level window of each stream: a version-1 SENDME on the circuit (the
// hop's backward digest right after the DATA cell that brought the window to
// 900), empty ones on the stream. The relay's own SENDMEs are counted.
class DirStreams {
 public:
  explicit DirStreams(mg::circuit::Circuit& circ) : circ_(circ) {}

  // The whole HTTP response to a GET of `path`; `pad` bytes of an extra
  // header make the request span many DATA cells.
  mg::Bytes get(const std::string& path, std::size_t pad = 0) {
    return std::move(get_all({path}, pad)[0]);
  }

  // One stream per path, all open at once; the responses in path order.
  std::vector<mg::Bytes> get_all(const std::vector<std::string>& paths, std::size_t pad = 0) {
    using namespace mg::circuit;
    std::map<mg::u16, Stream> streams;
    std::vector<mg::u16> ids;
    for (const std::string& path : paths) {
      ids.push_back(next_stream_++);
      streams[ids.back()].path = path;
      send(ids.back(), kRelayBeginDir, {});
    }
    for (std::size_t open = paths.size(); open > 0;) {
      RelayCell cell = circ_.recv_relay(circ_.wait_for("DATA"));
      // A relay that drops the circuit past hop 0 answers TRUNCATED (9).
      if (cell.command == 9) throw std::runtime_error("circuit truncated");
      if (cell.command == kRelaySendme) {
        ++(cell.stream_id == 0 ? got_circuit_sendmes : got_stream_sendmes);
        continue;
      }
      auto it = streams.find(cell.stream_id);
      if (it == streams.end() || it->second.ended) continue;
      Stream& stream = it->second;
      if (!stream.connected) {
        if (cell.command != kRelayConnected)
          throw std::runtime_error("BEGIN_DIR stream was not connected");
        stream.connected = true;
        send_request(cell.stream_id, stream.path, pad);
      } else if (cell.command == kRelayEnd) {
        stream.ended = true;
        --open;
      } else if (cell.command == kRelayData) {
        stream.response.insert(stream.response.end(), cell.data.begin(), cell.data.end());
        count_data(cell.stream_id, stream);
      }
    }
    std::vector<mg::Bytes> out;
    for (mg::u16 id : ids) out.push_back(std::move(streams[id].response));
    return out;
  }

  bool corrupt_circuit_sendmes = false;  // a negative control
  int data_cells = 0;
  int sent_circuit_sendmes = 0, sent_stream_sendmes = 0;
  int got_circuit_sendmes = 0, got_stream_sendmes = 0;

 private:
  struct Stream {
    std::string path;
    mg::Bytes response;
    int window = 500;
    bool connected = false, ended = false;
  };

  void send(mg::u16 stream, mg::u8 command, mg::ByteView data) {
    circ_.send_relay_cell(mg::tor::kCellRelay, circ_.hop_count() - 1, command, stream, data);
  }

  void send_request(mg::u16 stream, const std::string& path, std::size_t pad) {
    std::string request = mg::directory::directory_request_text(path, "127.0.0.1");
    if (pad > 0) request.insert(request.size() - 2, "X-Pad: " + std::string(pad, 'a') + "\r\n");
    for (mg::ByteView rest = mg::util::text_bytes(request); !rest.empty();) {
      const std::size_t n = std::min(mg::crypto::kRelayDataMax, rest.size());
      send(stream, mg::circuit::kRelayData, rest.first(n));
      rest = rest.subspan(n);
    }
  }

  void count_data(mg::u16 id, Stream& stream) {
    ++data_cells;
    if (--circ_window_ <= 900) {
      mg::Bytes digest = circ_.backward_digest(circ_.hop_count() - 1);
      if (corrupt_circuit_sendmes) digest[0] ^= 1;
      send(0, mg::circuit::kRelaySendme, mg::circuit::sendme_v1_data(digest));
      circ_window_ += 100;
      ++sent_circuit_sendmes;
    }
    if (--stream.window <= 450) {
      send(id, mg::circuit::kRelaySendme, {});
      stream.window += 50;
      ++sent_stream_sendmes;
    }
  }

  mg::circuit::Circuit& circ_;
  int circ_window_ = 1000;
  mg::u16 next_stream_ = 1;
};

}  // namespace mistgrove_test
