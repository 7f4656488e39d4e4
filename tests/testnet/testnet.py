#!/usr/bin/env python3
"""Private Tor network on loopback for mistgrove's integration tests.

Runs three directory authorities, six relays and one onion service (Debian's tor
daemon, never as a client: SocksPort 0 everywhere), with a loopback HTTP server
and a TCP echo server behind the onion service, waits until the network is
usable and writes a JSON state file that tests find through MISTGROVE_TESTNET.

  testnet.py run [--state PATH] -- CMD ARGS...   start, run CMD, tear down
  testnet.py start [--state PATH]                start in the background, print state path
  testnet.py stop --state PATH                   stop a network made by `start`
  testnet.py refresh --state PATH                re-write the consensus file
"""

import argparse
import base64
import calendar
import hashlib
import http.server
import json
import os
import random
import shutil
import signal
import socket
import socketserver
import struct
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

AUTHORITIES = 3
RELAYS = 6
ONION_HTTP_PORT = 80
ONION_ECHO_PORT = 7
ONION_RESET_PORT = 8
BIG_LENGTH = 3 * 1024 * 1024
# The echo server cannot know when a client has sent everything (onion streams
# have no half-close), so it closes the connection after this much silence.
ECHO_IDLE_CLOSE = 2.0
PAGE = b"<html><body><h1>mistgrove test service</h1><p>It works.</p></body></html>\n"
UPLOAD_LOG = "Uploaded hidden service descriptor"  # info level, once per HSDir

# The voting interval must be a whole number of minutes, and hsdir-interval 24
# of them, for clients (which derive time periods from the consensus) and the
# onion service (which counts voting intervals) to agree on the time period.
COMMON_TORRC = """\
TestingTorNetwork 1
DataDirectory {dir}
Nickname {nick}
Address 127.0.0.1
ContactInfo mistgrove-testnet@localhost
SocksPort 0
ShutdownWaitLength 0
ProtocolWarnings 1
__OwningControllerProcess {owner}
Log notice file {dir}/notice.log
V3AuthVotingInterval 60
TestingV3AuthInitialVotingInterval 60
V3AuthVoteDelay 4
V3AuthDistDelay 4
TestingV3AuthInitialVoteDelay 4
TestingV3AuthInitialDistDelay 4
"""
RELAY_TORRC = """\
ORPort 127.0.0.1:{orport}
DirPort 127.0.0.1:{dirport}
AssumeReachable 1
ExitPolicy reject *:*
"""
# The public network's consensus also sets sendme_accept_min_version=1, so
# peers close circuits on unauthenticated SENDMEs here as they do there.
AUTHORITY_TORRC = """\
AuthoritativeDirectory 1
V3AuthoritativeDirectory 1
TestingDirAuthVoteHSDir *
TestingDirAuthVoteGuard *
ConsensusParams hsdir-interval=24 sendme_accept_min_version=1
"""
ONION_TORRC = """\
Log info file {dir}/info.log
SafeLogging 0
HiddenServiceDir {dir}/hs
HiddenServicePort {http_vport} 127.0.0.1:{http_port}
HiddenServicePort {echo_vport} 127.0.0.1:{echo_port}
HiddenServicePort {reset_vport} 127.0.0.1:{reset_port}
"""


def log(msg):
    print(f"testnet: {msg}", file=sys.stderr, flush=True)


def write_file(path, data):
    """Replace the file at once, so a reader never sees half of it."""
    with open(path + ".tmp", "wb" if isinstance(data, bytes) else "w") as f:
        f.write(data)
    os.replace(path + ".tmp", path)


def remove_quietly(path):
    try:
        os.remove(path)
    except FileNotFoundError:
        pass


def tail(path, count=25):
    try:
        with open(path, errors="replace") as f:
            return "".join(f.readlines()[-count:])
    except OSError as e:
        return f"({e})\n"


def file_contains(path, text):
    try:
        with open(path, errors="replace") as f:
            return any(text in line for line in f)
    except OSError:
        return False


def pick_free_ports(count, base, span):
    """Ports of [base, base+span) that bind on 127.0.0.1 now, from a random start
    so that two networks started at once rarely try the same ones."""
    ports, start = [], random.randrange(span)
    for i in range(span):
        port = base + (start + i) % span
        with socket.socket() as s:
            try:
                s.bind(("127.0.0.1", port))
            except OSError:
                continue
        ports.append(port)
        if len(ports) == count:
            return ports
    raise RuntimeError(f"fewer than {count} free ports in {base}..{base + span - 1}")


def http_response(body, content_type):
    head = (f"HTTP/1.0 200 OK\r\nContent-Type: {content_type}\r\n"
            f"Content-Length: {len(body)}\r\nConnection: close\r\n\r\n")
    return head.encode() + body


class ServiceBackends:
    """The HTTP, echo and reset servers behind the onion service, on threads of
    this process. Responses carry no Date header: the same bytes every time."""

    def __init__(self, big):
        self.responses = responses = {"/": http_response(PAGE, "text/html"),
                                      "/big.bin": http_response(big, "application/octet-stream")}

        class Http(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                if self.path in responses:
                    self.wfile.write(responses[self.path])
                else:
                    self.send_error(404)
                self.close_connection = True

            def log_message(self, *args):
                pass

        class Echo(socketserver.BaseRequestHandler):
            def handle(self):
                self.request.settimeout(ECHO_IDLE_CLOSE)
                try:
                    while data := self.request.recv(65536):
                        self.request.sendall(data)
                except OSError:
                    pass

        # A back end that fails mid-response: the head and part of the big
        # file, then a reset (SO_LINGER of 0) instead of an orderly close.
        class Reset(socketserver.BaseRequestHandler):
            def handle(self):
                self.request.recv(65536)
                self.request.sendall(responses["/big.bin"][:100000])
                time.sleep(0.5)
                self.request.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                        struct.pack("ii", 1, 0))
                self.request.close()  # before the server's own shutdown sends a FIN

        self.servers = [http.server.ThreadingHTTPServer(("127.0.0.1", 0), Http),
                        socketserver.ThreadingTCPServer(("127.0.0.1", 0), Echo),
                        socketserver.ThreadingTCPServer(("127.0.0.1", 0), Reset)]
        for server in self.servers:
            server.daemon_threads = True
            # A client that drops the stream mid-response is a test case, not an error.
            server.handle_error = lambda request, address: None
            threading.Thread(target=server.serve_forever, daemon=True).start()
        self.http_port, self.echo_port, self.reset_port = (
            s.server_address[1] for s in self.servers)

    def close(self):
        for server in self.servers:
            server.shutdown()
            server.server_close()


def fetch_consensus(dirports):
    """The microdescriptor consensus from the first authority that serves one."""
    errors = []
    for hostport in dirports:
        url = f"http://{hostport}/tor/status-vote/current/consensus-microdesc"
        try:
            with urllib.request.urlopen(url, timeout=10) as reply:
                return reply.read().decode()
        except OSError as e:
            errors.append(f"{hostport}: {e}")
    raise OSError("; ".join(errors))


def consensus_flags(text):
    """Nickname -> flag set, from the "r" and "s" lines of a consensus."""
    flags, nick = {}, None
    for line in text.splitlines():
        if line.startswith("r "):
            nick = line.split()[1]
        elif line.startswith("s ") and nick:
            flags[nick] = set(line.split()[1:])
    return flags


def parse_time(text):
    return calendar.timegm(time.strptime(text, "%Y-%m-%d %H:%M:%S"))


def consensus_period(text):
    """(period length, period number, minutes into the period, rotation offset) of
    a consensus, as an onion-service client derives them from its valid-after and
    fresh-until times and its hsdir-interval parameter."""
    fields = {}
    for line in text.splitlines():
        key, _, rest = line.partition(" ")
        if key == "r":
            break
        fields.setdefault(key, rest)
    params = dict(p.split("=", 1) for p in fields.get("params", "").split() if "=" in p)
    length = int(params.get("hsdir-interval", 1440))
    valid_after = parse_time(fields["valid-after"])
    interval = (parse_time(fields["fresh-until"]) - valid_after) // 60
    offset = 12 * interval if interval > 0 else 720
    minutes = valid_after // 60
    if minutes < offset:
        return length, 0, minutes, offset
    return length, (minutes - offset) // length, (minutes - offset) % length, offset


def disaster_srv(length, period_num):
    """The shared random value onion services fall back to when a consensus lacks one."""
    data = b"shared-random-disaster" + length.to_bytes(8, "big") + period_num.to_bytes(8, "big")
    return hashlib.sha3_256(data).digest()


SRV_LINES = ("shared-rand-current-value ", "shared-rand-previous-value ")


def with_period_srv(text):
    """The consensus with one "shared-rand-current-value" line (after "params",
    where such lines stand) holding the value that places the onion service's
    descriptor of the consensus's own time period: the document's current value
    until the next shared-random run begins (length - offset minutes into the
    period), its previous value after that, and the disaster value of the period
    when that one is missing, as on a young network. A client then finds the
    descriptor with its first shared random value."""
    length, period, into, offset = consensus_period(text)
    lines = text.splitlines(keepends=True)
    after_next_run = into >= length - offset
    wanted = SRV_LINES[after_next_run]
    found = [l[len(wanted):] for l in lines if l.startswith(wanted)]
    value = found[-1] if found else f"0 {base64.b64encode(disaster_srv(length, period)).decode()}\n"
    lines = [l for l in lines if not l.startswith(SRV_LINES)]
    at = next(i for i, l in enumerate(lines) if l.startswith(("params ", "dir-source ", "r ")))
    at += lines[at].startswith("params ")
    source = ("previous" if after_next_run else "current") if found else "disaster"
    return "".join(lines[:at] + [SRV_LINES[0] + value] + lines[at:]), source


def write_consensus_file(data_dir, dirports):
    """Save the current consensus with the shared random value of its time period,
    so that clients place descriptors as the onion service does. Returns the
    state entries that describe the file."""
    text, source = with_period_srv(fetch_consensus(dirports))
    length, period, _, _ = consensus_period(text)
    path = os.path.join(data_dir, "consensus-microdesc")
    write_file(path, text)
    return {"consensus_file": path, "period_length": length, "period_num": period,
            "srv_source": source}


def write_state_files(path, state):
    """The JSON state, and beside it (PATH.txt) the same in lines that C++
    reads with no JSON parser: "key value...", "relay nickname orport ed25519_id"."""
    write_file(path, json.dumps(state, indent=1))
    lines = [f"relay {r['nickname']} {r['orport']} {r['ed25519_id']}" for r in state["relays"]]
    for key, value in state.items():
        if key != "relays":
            lines.append(" ".join(map(str, [key] + (value if isinstance(value, list) else [value]))))
    write_file(path + ".txt", "\n".join(lines) + "\n")


def kill_groups(pgids, reap=lambda: None):
    """SIGTERM to each process group, SIGKILL to those still there after 10 s."""
    for sig in (signal.SIGTERM, signal.SIGKILL):
        alive = []
        for pgid in pgids:
            try:
                os.killpg(pgid, sig)
                alive.append(pgid)
            except ProcessLookupError:
                pass
        for _ in range(100):
            reap()
            alive = [pgid for pgid in alive if group_alive(pgid)]
            if not alive:
                return
            time.sleep(0.1)


def group_alive(pgid):
    try:
        os.killpg(pgid, 0)
        return True
    except ProcessLookupError:
        return False


class Tor:
    """One tor daemon of the network: its data directory, torrc and process."""

    def __init__(self, root, nick, role, orport=0, dirport=0):
        self.nick, self.role, self.orport, self.dirport = nick, role, orport, dirport
        self.dir = os.path.join(root, nick)
        self.torrc = os.path.join(self.dir, "torrc")
        self.proc = self.fingerprint = self.ed25519_id = self.v3ident = None
        self.has_consensus = False
        os.mkdir(self.dir, 0o700)

    def spawn(self, args, **kw):
        # Own session: one signal to the process group stops it, and a
        # terminal's Ctrl-C does not reach it behind the fixture's back.
        with open(os.path.join(self.dir, "stdout.log"), "ab") as out:
            return subprocess.Popen(args, cwd=self.dir, stdout=out, stderr=subprocess.STDOUT,
                                    start_new_session=True, **kw)

    def log_tail(self):
        names = ["notice.log", "stdout.log"] + (["info.log"] if self.role == "onion" else [])
        paths = [os.path.join(self.dir, name) for name in names]
        return "".join(f"--- {path}\n{tail(path)}" for path in paths
                       if os.path.exists(path) and os.path.getsize(path))

    def describe(self):
        return {"nickname": self.nick, "address": "127.0.0.1", "orport": self.orport,
                "dirport": self.dirport, "fingerprint": self.fingerprint,
                "ed25519_id": self.ed25519_id, "authority": self.role == "authority"}


def wait_all(jobs, what):
    for tor, proc in jobs:
        if proc.wait(timeout=120) != 0:
            raise RuntimeError(f"{what} failed for {tor.nick}:\n{tor.log_tail()}")


class Testnet:
    """The whole network. start() returns the state dict; stop() is idempotent
    and leaves no process nor file behind (the data directory when keep_data)."""

    def __init__(self, state_path=None, relays=RELAYS, base_port=20000, port_span=10000,
                 timeout=240.0, keep_data=False):
        self.state_path, self.relay_count = state_path, relays
        self.base_port, self.port_span = base_port, port_span
        self.timeout, self.keep_data = timeout, keep_data
        self.root = self.backends = None
        self.tors, self.state = [], {}

    def start(self):
        began = time.monotonic()
        self.root = tempfile.mkdtemp(prefix="mistgrove-testnet-")  # mode 0700
        self.state_path = self.state_path or os.path.join(self.root, "state.json")
        big = os.urandom(BIG_LENGTH)
        self.backends = ServiceBackends(big)
        for key, name, data in (("page_path", "page.html", PAGE),
                                ("page_response_path", "page.response",
                                 self.backends.responses["/"]),
                                ("big_path", "big.bin", big)):
            self.state[key] = os.path.join(self.root, name)
            write_file(self.state[key], data)
        self.state.update(big_sha256=hashlib.sha256(big).hexdigest(), big_length=len(big))

        ports = iter(pick_free_ports(2 * (AUTHORITIES + self.relay_count),
                                     self.base_port, self.port_span))
        self.tors = [Tor(self.root, f"{prefix}{i}", role, next(ports), next(ports))
                     for prefix, role, count in (("auth", "authority", AUTHORITIES),
                                                 ("relay", "relay", self.relay_count))
                     for i in range(1, count + 1)]
        self.tors.append(Tor(self.root, "onion", "onion"))
        authorities = [t for t in self.tors if t.role == "authority"]
        self.make_keys(authorities, [t for t in self.tors if t.orport])

        dir_lines = "".join(
            f"DirAuthority {a.nick} orport={a.orport} no-v2 v3ident={a.v3ident} "
            f"127.0.0.1:{a.dirport} {a.fingerprint}\n" for a in authorities)
        for tor in self.tors:
            text = COMMON_TORRC.format(dir=tor.dir, nick=tor.nick, owner=os.getpid()) + dir_lines
            if tor.orport:
                text += RELAY_TORRC.format(orport=tor.orport, dirport=tor.dirport)
            if tor.role == "authority":
                text += AUTHORITY_TORRC
            if tor.role == "onion":
                text += ONION_TORRC.format(
                    dir=tor.dir, http_vport=ONION_HTTP_PORT, http_port=self.backends.http_port,
                    echo_vport=ONION_ECHO_PORT, echo_port=self.backends.echo_port,
                    reset_vport=ONION_RESET_PORT, reset_port=self.backends.reset_port)
            write_file(tor.torrc, text)
        # Authorities started in the last seconds of a minute miss its vote and
        # the first consensus comes a minute later.
        second = time.time() % 60
        if second > 40:
            time.sleep(61 - second)
        deadline = began + self.timeout
        for tor in self.tors[:-1]:
            tor.proc = tor.spawn(["tor", "-f", tor.torrc])
        log(f"started the authorities and relays under {self.root}")
        self.wait_for(deadline, self.missing_hsdirs)
        # Routers that asked for a consensus before there was one back off for
        # up to a minute or more; a reload makes them fetch it now. The onion
        # service, started only now, finds one at once.
        for tor in self.tors[:-1]:
            os.kill(tor.proc.pid, signal.SIGHUP)
        self.tors[-1].proc = self.tors[-1].spawn(["tor", "-f", self.tors[-1].torrc])
        log(f"consensus ready after {time.monotonic() - began:.0f} s; started the onion service")
        self.wait_for(deadline, self.missing_service)
        log(f"ready after {time.monotonic() - began:.0f} s")
        return self.write_state()

    def make_keys(self, authorities, routers):
        """Authority certificates from tor-gencert (empty passphrase), then each
        router's identity fingerprints from `tor --list-fingerprint`."""
        jobs = []
        for a in authorities:
            os.mkdir(os.path.join(a.dir, "keys"), 0o700)
            jobs.append((a, a.spawn(
                ["tor-gencert", "--create-identity-key", "-m", "12",
                 "-a", f"127.0.0.1:{a.dirport}", "-i", "keys/authority_identity_key",
                 "-s", "keys/authority_signing_key", "-c", "keys/authority_certificate",
                 "--passphrase-fd", "0"], stdin=subprocess.DEVNULL)))
        for r in routers:
            write_file(r.torrc, f"DataDirectory {r.dir}\nORPort 127.0.0.1:{r.orport}\n"
                                f"SocksPort 0\nNickname {r.nick}\nAddress 127.0.0.1\n"
                                f"ContactInfo mistgrove-testnet@localhost\n")
            jobs.append((r, r.spawn(["tor", "--list-fingerprint", "-f", r.torrc])))
        wait_all(jobs, "key generation")
        for a in authorities:
            with open(os.path.join(a.dir, "keys", "authority_certificate")) as f:
                a.v3ident = next(l.split()[1] for l in f if l.startswith("fingerprint "))
        for r in routers:
            with open(os.path.join(r.dir, "fingerprint")) as f:
                r.fingerprint = f.read().split()[1]
            with open(os.path.join(r.dir, "fingerprint-ed25519")) as f:
                r.ed25519_id = f.read().split()[1]

    def authority_dirports(self):
        return [f"127.0.0.1:{t.dirport}" for t in self.tors if t.role == "authority"]

    def wait_for(self, deadline, missing):
        """Poll missing() until it names nothing more to wait for; give up at the
        deadline or when a tor daemon exits."""
        last_report = 0.0
        while True:
            dead = [t for t in self.tors if t.proc and t.proc.poll() is not None]
            if dead:
                self.give_up(f"tor {dead[0].nick} exited with status {dead[0].proc.returncode}")
            what = missing()
            if not what:
                return
            now = time.monotonic()
            if now >= deadline:
                self.give_up(f"not ready within {self.timeout:.0f} s: waiting for {what}")
            if now - last_report >= 15:
                log(f"waiting for {what}")
                last_report = now
            time.sleep(min(1.0, deadline - now))

    def missing_hsdirs(self):
        """What the consensus lacks: every router running, valid and HSDir."""
        try:
            flags = consensus_flags(fetch_consensus(self.authority_dirports()))
        except OSError:
            return "the first consensus"
        lacking = [t.nick for t in self.tors if t.orport
                   and not {"Running", "Valid", "HSDir"} <= flags.get(t.nick, set())]
        return lacking and f"the HSDir flag of {', '.join(lacking)}"

    def missing_service(self):
        """What the network lacks for clients: the consensus on every router's
        DirPort (they serve it over BEGIN_DIR too), the onion service's hostname
        and its first descriptor upload."""
        for tor in self.tors:
            if tor.orport and not tor.has_consensus:
                try:
                    fetch_consensus([f"127.0.0.1:{tor.dirport}"])
                    tor.has_consensus = True
                except OSError:
                    return f"the consensus at {tor.nick}"
        onion = self.tors[-1]
        if not os.path.exists(os.path.join(onion.dir, "hs", "hostname")):
            return "the onion service's hostname"
        if not file_contains(os.path.join(onion.dir, "info.log"), UPLOAD_LOG):
            return "the onion service's descriptor upload"
        return None

    def give_up(self, reason):
        for tor in self.tors:
            sys.stderr.write(tor.log_tail())
        raise RuntimeError(reason)

    def write_state(self):
        """The state file tests read. Addresses are "127.0.0.1:PORT" texts:
        authority_dirports (list), http_direct and echo_direct (the back-ends
        themselves). relays: every router, authorities first, as {nickname,
        address, orport, dirport, fingerprint (hex), ed25519_id (base64),
        authority}. onion_address ("....onion"), onion_http_port (80) and
        onion_echo_port (7) and onion_reset_port (8, the head and part of the big
        file, then a connection reset) are the service's virtual ports;
        echo_idle_close_s.
        page_path, page_response_path (the exact HTTP response to "GET /"),
        big_path, big_sha256, big_length ("/big.bin"). consensus_file,
        period_length, period_num, srv_source. data_dir, onion_service_log,
        pid (this process), tor_pids."""
        with open(os.path.join(self.tors[-1].dir, "hs", "hostname")) as f:
            hostname = f.read().strip()
        dirports = self.authority_dirports()
        self.state.update(write_consensus_file(self.root, dirports))
        self.state.update(
            data_dir=self.root, pid=os.getpid(), authority_dirports=dirports,
            relays=[t.describe() for t in self.tors if t.orport],
            onion_address=hostname, onion_http_port=ONION_HTTP_PORT,
            onion_echo_port=ONION_ECHO_PORT, onion_reset_port=ONION_RESET_PORT,
            echo_idle_close_s=ECHO_IDLE_CLOSE,
            http_direct=f"127.0.0.1:{self.backends.http_port}",
            echo_direct=f"127.0.0.1:{self.backends.echo_port}",
            onion_service_log=os.path.join(self.tors[-1].dir, "info.log"),
            tor_pids=[t.proc.pid for t in self.tors if t.proc])
        write_state_files(self.state_path, self.state)
        return self.state

    def stop(self):
        procs = [t.proc for t in self.tors if t.proc]
        self.tors = []
        kill_groups([p.pid for p in procs], lambda: [p.poll() for p in procs])
        if self.backends:
            self.backends.close()
            self.backends = None
        if self.root:
            if not self.state_path.startswith(self.root + os.sep):
                remove_quietly(self.state_path)
                remove_quietly(self.state_path + ".txt")
            if not self.keep_data:
                shutil.rmtree(self.root, ignore_errors=True)
            self.root = None


class Stopped(Exception):
    """A stop signal, raised in the main thread so that clean-up runs."""


def on_signals(handler):
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, handler)


def raise_stopped(signum, frame):
    raise Stopped(signum)


def cmd_run(args):
    """Start the network, run the command (without one: wait for a stop signal,
    as `start` does in the background), stop the network."""
    on_signals(raise_stopped)
    net = Testnet(os.path.abspath(args.state) if args.state else None, args.relays,
                  args.base_port, args.port_span, args.timeout, args.keep_data)
    child = None
    try:
        net.start()
        if not args.command:
            while True:
                signal.pause()
        child = subprocess.Popen(args.command, env=dict(os.environ,
                                                        MISTGROVE_TESTNET=net.state_path))
        return child.wait()
    except Stopped as e:
        if not child:
            return 0 if not args.command else 128 + e.args[0]
        log(f"stopping on signal {e.args[0]}")
        if child.poll() is None:
            child.send_signal(e.args[0])
            try:
                child.wait(timeout=10)
            except subprocess.TimeoutExpired:
                child.kill()
        return 128 + e.args[0]
    except RuntimeError as e:
        log(str(e))
        return 1
    finally:
        on_signals(signal.SIG_IGN)  # a second Ctrl-C must not cut the clean-up short
        net.stop()


def cmd_start(args):
    state = os.path.abspath(args.state or os.path.join(
        tempfile.gettempdir(), f"mistgrove-testnet-{os.getpid()}.json"))
    options = [f"--state={state}", f"--relays={args.relays}", f"--base-port={args.base_port}",
               f"--port-span={args.port_span}", f"--timeout={args.timeout}"]
    with open(state + ".log", "ab") as out:
        proc = subprocess.Popen(
            [sys.executable, os.path.abspath(__file__), "run"] + options
            + ["--keep-data"] * args.keep_data,
            stdin=subprocess.DEVNULL, stdout=out, stderr=out, start_new_session=True)
    while not os.path.exists(state):
        if proc.poll() is not None:
            sys.stderr.write(tail(state + ".log", 200))
            return 1
        time.sleep(0.5)
    print(state)
    return 0


def cmd_stop(args):
    with open(args.state) as f:
        state = json.load(f)
    kill_groups([state["pid"]])  # the background fixture leads its own group
    if os.path.exists(args.state):
        log("the fixture died without cleaning up; stopping its tor daemons")
        kill_groups(state["tor_pids"])
        shutil.rmtree(state["data_dir"], ignore_errors=True)
        remove_quietly(args.state)
        remove_quietly(args.state + ".txt")
    remove_quietly(args.state + ".log")
    return 0


def cmd_refresh(args):
    with open(args.state) as f:
        state = json.load(f)
    state.update(write_consensus_file(state["data_dir"], state["authority_dirports"]))
    write_state_files(args.state, state)
    return 0


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = parser.add_subparsers(dest="action", required=True)
    for name, func in (("run", cmd_run), ("start", cmd_start), ("stop", cmd_stop),
                       ("refresh", cmd_refresh)):
        p = sub.add_parser(name)
        p.set_defaults(func=func)
        p.add_argument("--state", required=name in ("stop", "refresh"),
                       help="state file path (default: in the network's temp dir)")
        if name in ("run", "start"):
            p.add_argument("--relays", type=int, default=RELAYS)
            p.add_argument("--base-port", type=int,
                           default=int(os.environ.get("MISTGROVE_TESTNET_BASE_PORT", 20000)))
            p.add_argument("--port-span", type=int, default=10000)
            p.add_argument("--timeout", type=float, default=240.0,
                           help="seconds to wait for readiness")
            p.add_argument("--keep-data", action="store_true",
                           help="keep the data directory (tor logs) after stopping")
        if name == "run":
            p.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args(argv)
    if getattr(args, "command", None) and args.command[0] == "--":
        args.command = args.command[1:]
    return args.func(args)


if __name__ == "__main__":
    sys.exit(main())
