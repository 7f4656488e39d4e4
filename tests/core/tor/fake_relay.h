// The in-process peer: one connection on 127.0.0.1, a script on its own thread.
#pragma once

#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <unistd.h>

#include <csignal>
#include <ctime>
#include <functional>
#include <thread>

#include "base/test_support.h"
#include "circuit/ntor.h"
#include "mistgrove_core/circuit.h"
#include "tor/link.h"

namespace mistgrove_core::fake {

using mistgrove_test::error_of;
using tor::Cell;
using util::concat;
using util::from_string;
using ms = std::chrono::milliseconds;

// The peer's end. Its failures end the script quietly: the client's side reports.
struct Conn {
  int fd;
  SSL* ssl;

  void write(ByteView d) {
    const int n = ssl ? SSL_write(ssl, d.data(), static_cast<int>(d.size()))
                      : static_cast<int>(::send(fd, d.data(), d.size(), MSG_NOSIGNAL));
    if (n != static_cast<int>(d.size())) throw std::runtime_error("peer write failed");
  }
  Bytes read(std::size_t n) {
    Bytes out(n);
    for (std::size_t done = 0; done < n;) {
      const int r = ssl ? SSL_read(ssl, out.data() + done, static_cast<int>(n - done))
                        : static_cast<int>(::recv(fd, out.data() + done, n - done, 0));
      if (r <= 0) throw std::runtime_error("peer read failed");
      done += static_cast<std::size_t>(r);
    }
    return out;
  }
  // Ends the script once the client hangs up (or at the peer's own time-out).
  [[noreturn]] void wait_closed() {
    for (;;) read(1);
  }
  Cell read_cell() {
    const Bytes head = read(5);
    return {read(tor::is_var_cell(head[4]) ? util::read_u16(read(2), 0) : 509),
            util::read_u32(head, 0), head[4]};
  }
  // With a 4-byte circuit id; fixed-length bodies are zero-filled.
  void write_cell(u32 circ_id, u8 command, ByteView body) {
    Bytes frame = concat({Bytes{u8(circ_id >> 24), u8(circ_id >> 16), u8(circ_id >> 8), u8(circ_id),
                                command, u8(body.size() >> 8), u8(body.size())},
                          body});
    if (!tor::is_var_cell(command))
      frame.erase(frame.begin() + 5, frame.begin() + 7), frame.resize(514);
    write(frame);
  }
  // VERSIONS, CERTS, AUTH_CHALLENGE, padding, NETINFO; checks the client's NETINFO.
  void link_handshake(const Bytes& versions = {0, 3, 0, 4, 0, 5}, int padding = 0) {
    EXPECT_EQ(read(9), (Bytes{0, 0, 7, 0, 4, 0, 4, 0, 5}));
    write(concat({Bytes{0, 0, tor::kCellVersions, 0, u8(versions.size())}, versions}));
    write_cell(0, 129, Bytes(10, 1)), write_cell(0, 130, Bytes(36, 2));
    for (int i = 0; i < padding; ++i) write_cell(0, 128, Bytes(3, 0));
    write_cell(0, tor::kCellNetinfo, {});
    const Cell netinfo = read_cell();
    EXPECT_NEAR(util::read_u32(netinfo.body, 0), std::time(nullptr), 60);
    EXPECT_EQ(concat({Bytes{netinfo.command}, ByteView(netinfo.body).subspan(4)}),
              concat({Bytes{tor::kCellNetinfo, 4, 4}, Bytes(503, 0)}));
  }
};

using Script = std::function<void(Conn&)>;

// Makes the peer's TLS end present only the certificates and key of `pem` (in
// tests/core/data), whatever their size, with TLS 1.2 or 1.3 at most. The
// first certificate is the key's; any after it are sent as its chain.
inline std::function<void(SSL*)> presenting(std::string pem, int max_version = TLS1_3_VERSION) {
  return [pem = std::string(MISTGROVE_TEST_DATA "/") + pem, max_version](SSL* ssl) {
    SSL_certs_clear(ssl);
    SSL_set_security_level(ssl, 0);
    if (SSL_use_certificate_chain_file(ssl, pem.c_str()) != 1 ||
        SSL_use_PrivateKey_file(ssl, pem.c_str(), SSL_FILETYPE_PEM) != 1)
      ADD_FAILURE() << "the peer cannot present " << pem;
    SSL_set_max_proto_version(ssl, max_version);
  };
}

// Listens at once; its thread accepts one client and runs the script (10 s at
// most) once the TLS handshake, after `setup` of the peer's end, is done.
struct Peer {
  explicit Peer(Script script, bool tls = true, std::function<void(SSL*)> setup = nullptr) {
    static SSL_CTX* const kCtx = [] {
      SSL_CTX* c = SSL_CTX_new(TLS_server_method());
      SSL_CTX_use_certificate_file(c, MISTGROVE_TEST_DATA "/fake_relay.pem", SSL_FILETYPE_PEM);
      SSL_CTX_use_PrivateKey_file(c, MISTGROVE_TEST_DATA "/fake_relay.pem", SSL_FILETYPE_PEM);
      return c;
    }();
    ::signal(SIGPIPE, SIG_IGN);  // OpenSSL writes with write(2)
    const timeval tv{10, 0};
    setsockopt(listen_fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    thread_ = std::thread([this, tls, tv, script = std::move(script), setup = std::move(setup)] {
      const int fd = ::accept(listen_fd_, nullptr, nullptr), one = 1;
      if (fd < 0) return;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);  // not behind a delayed ACK
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
      Conn conn{fd, tls ? SSL_new(kCtx) : nullptr};
      if (conn.ssl && setup) setup(conn.ssl);
      try {
        if (!conn.ssl || (SSL_set_fd(conn.ssl, fd) == 1 && SSL_accept(conn.ssl) == 1)) script(conn);
      } catch (const std::exception&) {
      }
      SSL_free(conn.ssl), ::close(fd);
    });
  }
  ~Peer() { thread_.join(), ::close(listen_fd_); }
  u16 port = 0;  // where it listens
  int listen_fd_ = mistgrove_test::bind_loopback(port, 1);
  std::thread thread_;
};

// A relay record and its ntor secret key; relays at one address and port are one.
struct RelayKeys {
  Bytes b = crypto::random_bytes(32);
  directory::Relay relay;
  explicit RelayKeys(const std::string& nickname = "", u16 or_port = 0) {
    static u16 next_port = 9000;
    relay.nickname = nickname, relay.address = "127.0.0.1";
    relay.or_port = or_port != 0 ? or_port : ++next_port;
    relay.flags = {"HSDir", "Running", "Valid"};
    relay.rsa_identity = crypto::random_bytes(20), relay.ed25519_id = crypto::random_bytes(32);
    relay.ntor_onion_key = crypto::x25519_public_from_private(b);
  }
};

// The relays' side of one circuit: each hop's crypto is the client's, swapped.
struct RelaySide {
  Conn& conn;
  u32 circ_id = 0;
  std::vector<crypto::RelayCrypto> hops = {};

  // `k` is Df | Db | Kf | Kb as the handshake derived them for the client.
  void add_hop(ByteView k, std::size_t key_len, bool sha3 = false) {
    const std::size_t d = sha3 ? 32 : 20;
    hops.emplace_back(k.subspan(d, d), k.first(d), k.subspan(2 * d + key_len, key_len),
                      k.subspan(2 * d, key_len), sha3);
  }

  // Link handshake; cells to skip; `reply` (0: none), CREATED_FAST's hash XOR `flip`.
  RelaySide& create_fast(u8 reply = tor::kCellCreatedFast, u8 flip = 0) {
    conn.link_handshake();
    const Cell create = conn.read_cell();
    circ_id = create.circ_id;
    EXPECT_EQ(std::pair(create.command, circ_id >> 31), std::pair(tor::kCellCreateFast, 1u));
    conn.write_cell(0, 0, {}), conn.write_cell(circ_id ^ 1, tor::kCellDestroy, {});
    const Bytes y = crypto::random_bytes(20);
    Bytes k = crypto::kdf_tor(concat({ByteView(create.body).first(20), y}), 92);
    k[0] ^= flip;
    const bool created = reply == tor::kCellCreatedFast;
    if (reply)
      conn.write_cell(circ_id, reply, created ? concat({y, ByteView(k).first(20)}) : Bytes{});
    if (created) add_hop(ByteView(k).subspan(20), 16);
    return *this;
  }

  void send(std::size_t hop, u8 command, u16 stream_id, ByteView data) {
    send_body(hop, hops[hop].encrypt_relay(command, stream_id, data));
  }
  void send_garbage() { send_body(hops.size(), crypto::random_bytes(509)); }  // for no hop
  // DATA on `stream`, recognized at `hop`, whose length field says 499.
  void send_overlong(std::size_t hop, u16 stream) {
    Bytes body(509, 0);
    body[0] = circuit::kRelayData, body[4] = u8(stream), body[9] = 499 >> 8, body[10] = 499 & 0xff;
    hops[hop].forward_digest.update(body);
    std::copy_n(hops[hop].forward_digest.current().begin(), 4, body.begin() + 5);
    send_body(hop, hops[hop].forward.apply(body));
  }
  // Adds the layers of the hops before `hop` to a body encrypted there.
  void send_body(std::size_t hop, Bytes body) {
    for (std::size_t i = hop; i-- > 0;) hops[i].forward.apply_in_place(body);
    conn.write_cell(circ_id, tor::kCellRelay, body);
  }

  struct Received {
    std::size_t hop;
    circuit::RelayCell cell;
    u8 link_command;
  };
  Received recv() {
    Cell c = conn.read_cell();
    EXPECT_EQ(c.circ_id, circ_id);
    for (std::size_t i = 0; i < hops.size(); ++i) {
      hops[i].backward.apply_in_place(c.body);
      if (hops[i].recognize_decrypted(c.body))
        return {i, circuit::parse_relay_body(c.body), c.command};
    }
    throw std::runtime_error("no hop recognized the client's cell");
  }
  void expect(std::size_t hop, u8 command, u16 stream_id, const Bytes& data) {
    const Received got = recv();
    EXPECT_EQ(std::tie(got.hop, got.cell.command, got.cell.stream_id, got.cell.data),
              std::tie(hop, command, stream_id, data));
  }

  // Reads EXTEND2, adds the hop, answers with EXTENDED2 (HLEN | Y | AUTH) after `edit`.
  void extend(const RelayKeys& keys, const std::function<void(Bytes&)>& edit = [](Bytes&) {}) {
    const Received got = recv();
    EXPECT_EQ(std::tie(got.link_command, got.hop, got.cell.command),
              std::tuple(tor::kCellRelayEarly, hops.size() - 1, circuit::kRelayExtend2));
    // HTYPE 2, HLEN 84, ID, B and X end the body, after the link specifiers.
    const ByteView d(got.cell.data), x_pub = d.last(32), id = keys.relay.rsa_identity,
                                     b_pub = keys.relay.ntor_onion_key;
    EXPECT_EQ(concat({d.last(88).first(56)}), concat({Bytes{0, 2, 0, 84}, id, b_pub}));
    const Bytes y = crypto::random_bytes(32), y_pub = crypto::x25519_public_from_private(y);
    const std::string ntor = "ntor-curve25519-sha256-1";
    auto mac = [&](auto k, ByteView m) { return crypto::hmac_sha256(from_string(ntor + k), m); };
    const Bytes secret =
        concat({crypto::x25519_shared(y, x_pub), crypto::x25519_shared(keys.b, x_pub), id, b_pub,
                x_pub, y_pub, from_string(ntor)});
    add_hop(crypto::hkdf_sha256_expand(mac(":key_extract", secret)), 16);
    Bytes reply = concat({Bytes{0, 64}, y_pub,
                          mac(":mac", concat({mac(":verify", secret), id, b_pub, y_pub, x_pub,
                                              from_string(ntor + "Server")}))});
    edit(reply);
    send(hops.size() - 2, circuit::kRelayExtended2, 0, reply);
  }

  // Keeps the link busy with cells nobody awaits, and never answers.
  void chatter() {
    for (;; std::this_thread::sleep_for(ms(20))) {
      conn.write_cell(0, 0, {}), conn.write_cell(circ_id ^ 1, tor::kCellRelay, {});
      if (!hops.empty()) send(hops.size() - 1, circuit::kRelayData, 9, from_string("chatter"));
    }
  }

  // `data` in DATA cells on stream 1, `between()` after each; SENDMEs: v1 per 100, stream per 50.
  int serve_data(std::size_t hop, ByteView data, const std::function<void()>& between = [] {}) {
    int sendmes = 0;
    for (int cells = 1; !data.empty(); ++cells) {
      const std::size_t n = std::min<std::size_t>(data.size(), 498);
      send(hop, circuit::kRelayData, 1, data.first(n));
      const Bytes digest = hops[hop].forward_digest.current();
      data = data.subspan(n);
      between();
      for (const u16 on : {0, 1}) {
        if (cells % (on == 0 ? 100 : 50) != 0) continue;
        expect(hop, circuit::kRelaySendme, on,
               on ? Bytes{} : concat({Bytes{1, 0, 20}, ByteView(digest).first(20)}));
        ++sendmes;
      }
    }
    return sendmes;
  }
};

inline void destroy(RelaySide& r) { r.conn.write_cell(r.circ_id, tor::kCellDestroy, {}); }

// `timeout_ms` bounds the circuit's waits; the link handshake has room for a busy machine.
inline circuit::Circuit open_circuit(const Peer& peer, i32 timeout_ms = 5000) {
  return circuit::Circuit::create_fast(tor::TorChannel::open("127.0.0.1", peer.port, 5000),
                                       timeout_ms);
}

inline Bytes pattern(std::size_t n) { return crypto::random_bytes(n); }

}  // namespace mistgrove_core::fake
