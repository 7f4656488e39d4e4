// The in-process peer of the link, circuit and onion-service tests: it accepts
// one connection on 127.0.0.1 (TLS with a throwaway certificate, or plain
// TCP), runs a script on its own thread, and can play every relay of a
// circuit as well as the onion service's end-to-end hop.
#pragma once

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <functional>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "base/test_support.h"
#include "circuit/ntor.h"
#include "mistgrove_core/circuit.h"
#include "tor/link.h"

namespace mistgrove_core::fake {

using circuit::RelayCell;
using mistgrove_test::error_of;
using tor::Cell;
using util::concat;
using util::from_string;

using SslCtxPtr = crypto::UniquePtr<SSL_CTX>;
using SslPtr = crypto::UniquePtr<SSL>;

// A server context with a self-signed certificate of a throwaway RSA key,
// made once per test program.
inline SSL_CTX* server_ctx() {
  static SslCtxPtr ctx;
  if (ctx) return ctx.get();
  crypto::UniquePtr<EVP_PKEY> key(EVP_RSA_gen(2048));
  crypto::UniquePtr<X509> cert(X509_new());
  X509_set_version(cert.get(), 2);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400);
  X509_set_pubkey(cert.get(), key.get());
  X509_sign(cert.get(), key.get(), EVP_sha256());
  ctx.reset(SSL_CTX_new(TLS_server_method()));
  if (!SSL_CTX_use_certificate(ctx.get(), cert.get()) ||
      !SSL_CTX_use_PrivateKey(ctx.get(), key.get()))
    throw std::runtime_error("test certificate set-up failed");
  return ctx.get();
}

// The peer's end of the connection. Failures throw std::runtime_error, which
// ends the script quietly: the client's side of the test reports what matters.
class Conn {
 public:
  Conn(int fd, SSL* ssl) : fd_(fd), ssl_(ssl) {}

  void write(ByteView data) {
    int n = ssl_ ? SSL_write(ssl_, data.data(), static_cast<int>(data.size()))
                 : static_cast<int>(::send(fd_, data.data(), data.size(), MSG_NOSIGNAL));
    if (n != static_cast<int>(data.size())) throw std::runtime_error("peer write failed");
  }
  Bytes read(std::size_t n) {
    Bytes out(n);
    for (std::size_t done = 0; done < n;) {
      int r = ssl_ ? SSL_read(ssl_, out.data() + done, static_cast<int>(n - done))
                   : static_cast<int>(::recv(fd_, out.data() + done, n - done, 0));
      if (r <= 0) throw std::runtime_error("peer read failed");
      done += static_cast<std::size_t>(r);
    }
    return out;
  }
  void hang_up() { ::shutdown(fd_, SHUT_WR); }
  // Until the client hangs up (or the peer's own time-out).
  void wait_closed() {
    try {
      for (;;) read(1);
    } catch (const std::runtime_error&) {
    }
  }

  Cell read_cell() {
    Bytes head = read(5);
    Cell cell{{}, util::read_u32(head, 0), head[4]};
    cell.body =
        read(tor::is_var_cell(cell.command) ? util::read_u16(read(2), 0) : tor::kCellBodyLen);
    return cell;
  }
  // A cell with a 4-byte circuit id; fixed-length bodies are zero-filled.
  void write_cell(u32 circ_id, u8 command, ByteView body) {
    util::ByteWriter w;
    w.put_u32(circ_id);
    w.put_u8(command);
    const bool var = tor::is_var_cell(command);
    if (var) w.put_u16(static_cast<u16>(body.size()));
    w.put_bytes(body);
    Bytes frame = w.take();
    if (!var) frame.resize(5 + tor::kCellBodyLen, 0);
    write(frame);
  }
  // The relay's side of the link handshake: the client's VERSIONS, ours
  // (`versions`, two bytes each), CERTS, AUTH_CHALLENGE, `padding` padding
  // cells and NETINFO; returns the client's NETINFO.
  Cell link_handshake(const Bytes& versions = {0, 3, 0, 4, 0, 5}, int padding = 0) {
    EXPECT_EQ(read(9), (Bytes{0, 0, 7, 0, 4, 0, 4, 0, 5}));
    write(concat({Bytes{0, 0, tor::kCellVersions, 0, static_cast<u8>(versions.size())}, versions}));
    write_cell(0, 129, Bytes(10, 1));
    write_cell(0, 130, Bytes(36, 2));
    for (int i = 0; i < padding; ++i) write_cell(0, 128, Bytes(3, 0));
    write_cell(0, tor::kCellNetinfo, {});
    return read_cell();
  }

 private:
  int fd_;
  SSL* ssl_;
};

using Script = std::function<void(Conn&)>;

// Listens at once; its thread accepts one client and runs the script. The
// destructor joins the thread (the peer gives up after 10 s).
class Peer {
 public:
  explicit Peer(Script script, bool tls = true) {
    ::signal(SIGPIPE, SIG_IGN);  // OpenSSL writes with write(2)
    SSL_CTX* ctx = tls ? server_ctx() : nullptr;
    listen_fd_ = mistgrove_test::bind_loopback(port_, 1);
    const timeval tv{10, 0};
    setsockopt(listen_fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    thread_ = std::thread([this, ctx, tv, script = std::move(script)] {
      const int fd = ::accept(listen_fd_, nullptr, nullptr);
      if (fd < 0) return;
      // Each cell leaves at once, not behind the client's delayed ACK.
      const int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
      SslPtr ssl(ctx ? SSL_new(ctx) : nullptr);
      try {
        if (ssl && (SSL_set_fd(ssl.get(), fd) != 1 || SSL_accept(ssl.get()) != 1))
          throw std::runtime_error("peer TLS accept failed");
        Conn conn(fd, ssl.get());
        script(conn);
      } catch (const std::exception&) {
      }
      ::close(fd);
    });
  }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;
  ~Peer() {
    thread_.join();
    ::close(listen_fd_);
  }
  u16 port() const { return port_; }

 private:
  int listen_fd_ = -1;
  u16 port_ = 0;
  std::thread thread_;
};

// A relay the client extends to: its record and its ntor secret key.
struct RelayKeys {
  Bytes b = crypto::random_bytes(32);
  directory::Relay relay;
  RelayKeys() {
    relay.address = "127.0.0.1";
    relay.or_port = 9001;
    relay.rsa_identity = crypto::random_bytes(20);
    relay.ed25519_id = crypto::random_bytes(32);
    relay.ntor_onion_key = crypto::x25519_public_from_private(b);
  }
};

// A relay record usable as guard, rendezvous point and HSDir. Each gets its
// own port unless given one: relays at one address and port are the same.
inline directory::Relay relay_named(const std::string& nickname, u16 or_port = 0) {
  static u16 next_port = 9000;
  directory::Relay r = RelayKeys().relay;
  r.nickname = nickname;
  r.or_port = or_port != 0 ? or_port : ++next_port;
  r.flags = {"HSDir", "Running", "Valid"};
  return r;
}

// The relays' side of one circuit. Each hop's crypto is the client's with the
// directions swapped: it sends with (Db, Kb) and receives with (Df, Kf). A
// test may push the onion service's end-to-end hop onto `hops`.
struct RelaySide {
  explicit RelaySide(Conn& c) : conn(c) {}
  Conn& conn;
  u32 circ_id = 0;
  std::vector<crypto::RelayCrypto> hops;

  // `k` is Df | Db | Kf | Kb as the handshake derived them for the client.
  void add_hop(const Bytes& k, std::size_t key_len, bool sha3 = false) {
    const std::size_t d = sha3 ? 32 : 20;
    ByteView v(k);
    hops.emplace_back(v.subspan(d, d), v.first(d), v.subspan(2 * d + key_len, key_len),
                      v.subspan(2 * d, key_len), sha3);
  }

  enum class Reply { kCreated, kBadKeyHash, kDestroy, kOther, kNone };
  // Link handshake, then the answer to CREATE_FAST after a padding cell and a
  // DESTROY of another circuit, both of which the client must skip.
  void create_fast(Reply reply = Reply::kCreated) {
    conn.link_handshake();
    Cell create = conn.read_cell();
    EXPECT_EQ(create.command, tor::kCellCreateFast);
    circ_id = create.circ_id;
    EXPECT_TRUE(circ_id & 0x80000000u);  // the initiator half of the id space
    conn.write_cell(0, 0, {});
    conn.write_cell(circ_id ^ 1, tor::kCellDestroy, {});
    if (reply == Reply::kDestroy) return conn.write_cell(circ_id, tor::kCellDestroy, {});
    if (reply == Reply::kOther) return conn.write_cell(circ_id, tor::kCellRelay, {});
    if (reply == Reply::kNone) return;
    Bytes y = crypto::random_bytes(20);
    Bytes k = crypto::kdf_tor(concat({ByteView(create.body).first(20), y}), 92);
    if (reply == Reply::kBadKeyHash) k[0] ^= 1;
    conn.write_cell(circ_id, tor::kCellCreatedFast, concat({y, ByteView(k).first(20)}));
    add_hop(Bytes(k.begin() + 20, k.end()), 16);
  }

  void send(std::size_t hop, u8 command, u16 stream_id, ByteView data) {
    send_body(hop, hops[hop].encrypt_relay(command, stream_id, data));
  }
  // A body no hop recognizes.
  void send_garbage() {
    send_body(hops.size() - 1, hops.back().forward.apply(crypto::random_bytes(509)));
  }
  // DATA on `stream`, recognized at `hop`, whose length field says 499.
  void send_overlong(std::size_t hop, u16 stream) {
    Bytes body(509, 0);
    body[0] = circuit::kRelayData;
    body[4] = static_cast<u8>(stream);
    body[9] = 499 >> 8, body[10] = 499 & 0xff;
    hops[hop].forward_digest.update(body);
    const Bytes digest = hops[hop].forward_digest.current();
    std::copy_n(digest.begin(), 4, body.begin() + 5);
    send_body(hop, hops[hop].forward.apply(body));
  }
  // Adds the layers of the hops before `hop` to a body encrypted there.
  void send_body(std::size_t hop, Bytes body) {
    for (std::size_t i = hop; i-- > 0;) hops[i].forward.apply_in_place(body);
    conn.write_cell(circ_id, tor::kCellRelay, body);
  }

  struct Received {
    std::size_t hop;
    RelayCell cell;
    u8 link_command;
  };
  Received recv() {
    Cell c = conn.read_cell();
    EXPECT_EQ(c.circ_id, circ_id);
    for (std::size_t i = 0; i < hops.size(); ++i) {
      hops[i].backward.apply_in_place(c.body);
      if (hops[i].recognize_decrypted(c.body))
        return {i, crypto::parse_relay_body(c.body), c.command};
    }
    throw std::runtime_error("no hop recognized the client's cell");
  }

  // Reads the EXTEND2, adds the new hop and returns the EXTENDED2 data
  // (HLEN | Y | AUTH) of an honest answer.
  Bytes answer_extend2(const RelayKeys& keys) {
    Received got = recv();
    EXPECT_EQ(got.link_command, tor::kCellRelayEarly);
    EXPECT_EQ(got.hop, hops.size() - 1);
    EXPECT_EQ(got.cell.command, circuit::kRelayExtend2);
    util::ByteReader r(got.cell.data);
    for (u8 n = r.read_u8("count"); n > 0; --n) {
      r.read_u8("type");
      r.read_bytes(r.read_u8("len"), "spec");
    }
    EXPECT_EQ(r.read_u16("htype"), 2);
    EXPECT_EQ(r.read_u16("hlen"), 84);
    EXPECT_EQ(concat({r.read_bytes(52, "id and B")}),
              concat({keys.relay.rsa_identity, keys.relay.ntor_onion_key}));
    const ByteView x_pub = r.read_bytes(32, "X");
    const Bytes y = crypto::random_bytes(32), y_pub = crypto::x25519_public_from_private(y);
    const ByteView id = keys.relay.rsa_identity, b_pub = keys.relay.ntor_onion_key;
    const std::string proto = "ntor-curve25519-sha256-1";
    auto mac = [&](const std::string& key, ByteView data) {
      return crypto::hmac_sha256(from_string(proto + key), data);
    };
    const Bytes secret =
        concat({crypto::x25519_shared(y, x_pub), crypto::x25519_shared(keys.b, x_pub), id, b_pub,
                x_pub, y_pub, from_string(proto)});
    const Bytes auth = mac(":mac", concat({mac(":verify", secret), id, b_pub, y_pub, x_pub,
                                           from_string(proto + "Server")}));
    add_hop(crypto::hkdf_sha256_expand(mac(":key_extract", secret)), 16);
    return concat({Bytes{0, 64}, y_pub, auth});
  }
  void extend(const RelayKeys& keys) {
    const Bytes reply = answer_extend2(keys);
    send(hops.size() - 2, circuit::kRelayExtended2, 0, reply);
  }

  // Keeps the link busy and never answers: every 20 ms a padding cell, a
  // cell of another circuit and, once there is a hop, a DATA cell on stream 9
  // from the last hop, until the client hangs up.
  void chatter() {
    for (;;) {
      conn.write_cell(0, 0, {});
      conn.write_cell(circ_id ^ 1, tor::kCellRelay, {});
      if (!hops.empty()) send(hops.size() - 1, circuit::kRelayData, 9, from_string("chatter"));
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }

  // Padding cells one byte at a time, a byte every `every`, until the client
  // hangs up: no receive of the client ever waits as long as `every`.
  void drip(std::chrono::milliseconds every) {
    for (u8 byte : Bytes(514 * 1000, 0)) {
      conn.write({&byte, 1});
      std::this_thread::sleep_for(every);
    }
  }

  // `data` in DATA cells of at most 498 bytes on `stream` from `hop`, with
  // `between()` after each. After every 100th cell the client's first cell
  // must be a version-1 SENDME on stream 0 with the hop's digest as it stood
  // right after that cell; after every 50th, an empty SENDME on the stream.
  // Returns the number of SENDMEs read.
  int serve_data(
      std::size_t hop, u16 stream, ByteView data, const std::function<void()>& between = [] {}) {
    int sendmes = 0;
    for (int cells = 1; !data.empty(); ++cells) {
      const std::size_t n = std::min<std::size_t>(data.size(), 498);
      send(hop, circuit::kRelayData, stream, data.first(n));
      const Bytes digest = hops[hop].forward_digest.current();
      data = data.subspan(n);
      between();
      if (cells % 100 == 0)
        expect_sendme(hop, 0, concat({Bytes{1, 0, 20}, ByteView(digest).first(20)}));
      if (cells % 50 == 0) expect_sendme(hop, stream, {});
      sendmes += (cells % 100 == 0) + (cells % 50 == 0);
    }
    return sendmes;
  }
  void expect_sendme(std::size_t hop, u16 stream, const Bytes& data) {
    const Received got = recv();
    EXPECT_EQ(got.hop, hop);
    EXPECT_EQ(got.cell.command, circuit::kRelaySendme);
    EXPECT_EQ(got.cell.stream_id, stream);
    EXPECT_EQ(got.cell.data, data);
  }
};

inline circuit::Circuit open_circuit(const Peer& peer, i32 timeout_ms = 5000) {
  return circuit::Circuit::create_fast(tor::TorChannel::open("127.0.0.1", peer.port(), timeout_ms),
                                       timeout_ms);
}

// The next relay cell, within a wait of the circuit's time-out.
inline RelayCell next_cell(circuit::Circuit& circ) {
  return circ.recv_relay(circ.wait_for("DATA"));
}

// `n` bytes that differ from cell to cell.
inline Bytes pattern(std::size_t n) {
  Bytes out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<u8>(i * 31 + i / 498);
  return out;
}

}  // namespace mistgrove_core::fake
