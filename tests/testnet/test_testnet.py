"""Tests of the private-network fixture: time periods and shared random values of
its consensus file, the exact bytes of the onion service's back-ends and, with a
running network (MISTGROVE_TESTNET), that clients following the consensus file
look for the descriptor on the HSDirs where the onion service put it."""

import base64
import ctypes
import ctypes.util
import hashlib
import json
import os
import re
import socket
import time
import urllib.request

import pytest

import testnet

HEADER = """network-status-version 3 microdesc
vote-status consensus
valid-after {va}
fresh-until {fu}
params hsdir-interval=24 sendme_accept_min_version=1
{srv}dir-source auth1 AAAA 127.0.0.1 127.0.0.1 1 2
r relay1 AAAA 2026-12-06 17:00:00 127.0.0.1 3 4
s Fast HSDir Running Valid
"""
CUR, PREV = "Q1VSUkVOVA==", "UFJFVklPVVM="
BOTH = f"shared-rand-previous-value 5 {PREV}\nshared-rand-current-value 4 {CUR}\n"


def b64_disaster(length, period):
    return base64.b64encode(testnet.disaster_srv(length, period)).decode()


def test_consensus_period():
    cases = [  # valid-after, fresh-until, hsdir-interval line, (length, period, into, offset)
        ("2026-12-05 18:00:00", "2026-12-05 19:00:00", "", (1440, 20792, 360, 720)),
        ("2026-12-05 11:00:00", "2026-12-05 12:00:00", "", (1440, 20791, 1380, 720)),
        ("2026-12-05 12:00:00", "2026-12-05 13:00:00", "", (1440, 20792, 0, 720)),
        # The test network: 60 s voting interval, 24-minute periods, 12-minute offset.
        ("2026-12-06 17:24:00", "2026-12-06 17:25:00", "hsdir-interval=24", (24, 1247623, 0, 12)),
        ("2026-12-06 17:47:00", "2026-12-06 17:48:00", "hsdir-interval=24", (24, 1247623, 23, 12)),
        ("1970-01-01 00:05:00", "1970-01-01 00:06:00", "hsdir-interval=24", (24, 0, 5, 12)),
    ]
    for va, fu, params, want in cases:
        doc = f"valid-after {va}\nfresh-until {fu}\nparams {params}\nr x\nvalid-after 1999-01-01 00:00:00\n"
        assert testnet.consensus_period(doc) == want, va


@pytest.mark.parametrize("va, srv_lines, source, value", [
    # Before the next shared-random run (first 12 minutes of the period): current value.
    ("2026-12-06 17:24:00", "", "disaster", b64_disaster(24, 1247623)),
    ("2026-12-06 17:35:00", BOTH, "current", CUR),
    # After it began, the descriptor still sits where the previous value put it.
    ("2026-12-06 17:36:00", BOTH, "previous", PREV),
    ("2026-12-06 17:47:00", "", "disaster", b64_disaster(24, 1247623)),
    ("2026-12-06 17:40:00", f"shared-rand-current-value 0 {CUR}\n", "disaster",
     b64_disaster(24, 1247623)),
])
def test_with_period_srv(va, srv_lines, source, value):
    fu = va[:-5] + "%02d:00" % (int(va[-5:-3]) + 1)
    text, got_source = testnet.with_period_srv(HEADER.format(va=va, fu=fu, srv=srv_lines))
    assert got_source == source
    lines = text.splitlines()
    srv = [i for i, l in enumerate(lines) if l.startswith("shared-rand-")]
    assert len(srv) == 1 and lines[srv[0] - 1].startswith("params ")
    assert lines[srv[0]].split()[0] == "shared-rand-current-value"
    assert lines[srv[0]].split()[2] == value
    assert text.endswith("s Fast HSDir Running Valid\n")


def read_all(sock):
    data = b""
    while chunk := sock.recv(65536):
        data += chunk
    return data


def test_backends_exact_bytes_and_echo_close():
    big = os.urandom(100_000)
    backends = testnet.ServiceBackends(big)
    try:
        cases = [
            (b"GET / HTTP/1.0\r\n\r\n", b"HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n"
             b"Content-Length: %d\r\nConnection: close\r\n\r\n" % len(testnet.PAGE) + testnet.PAGE),
            # A keep-alive request still ends with the connection: onion streams end by END.
            (b"GET /big.bin HTTP/1.1\r\nHost: x.onion\r\n\r\n",
             b"HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n"
             b"Content-Length: 100000\r\nConnection: close\r\n\r\n" + big),
        ]
        for request, response in cases:
            with socket.create_connection(("127.0.0.1", backends.http_port), timeout=10) as s:
                s.sendall(request)
                assert read_all(s) == response
        with socket.create_connection(("127.0.0.1", backends.http_port), timeout=10) as s:
            s.sendall(b"GET /missing HTTP/1.0\r\n\r\n")
            assert read_all(s).startswith(b"HTTP/1.0 404 ")
        for payload in (b"", b"x", os.urandom(100_000)):
            with socket.create_connection(("127.0.0.1", backends.echo_port), timeout=10) as s:
                began = time.monotonic()
                s.sendall(payload)
                assert read_all(s) == payload
                assert time.monotonic() - began >= testnet.ECHO_IDLE_CLOSE * 0.9
    finally:
        backends.close()


def blind(identity, period, length):
    """The blinded key of an onion service identity, through libsodium."""
    basepoint = (b"(15112221349535400772501151409588531511454012693041857206046113283949847"
                 b"762202, 463168356949264781694283940034751631413079938662562256157830336031"
                 b"65251855960)")
    nonce = b"key-blind" + period.to_bytes(8, "big") + length.to_bytes(8, "big")
    h = bytearray(hashlib.sha3_256(b"Derive temporary signing key\0" + identity + basepoint
                                   + nonce).digest())
    h[0] &= 248
    h[31] = (h[31] & 63) | 64
    sodium = ctypes.CDLL(ctypes.util.find_library("sodium"))
    out = ctypes.create_string_buffer(32)
    assert sodium.crypto_scalarmult_ed25519_noclamp(out, bytes(h), identity) == 0
    return out.raw


@pytest.mark.skipif("MISTGROVE_TESTNET" not in os.environ, reason="needs the private network")
def test_consensus_file_places_descriptor_where_the_service_uploaded_it():
    with open(os.environ["MISTGROVE_TESTNET"]) as f:
        state = json.load(f)
    with open(state["consensus_file"]) as f:
        text = f.read()
    length, period = state["period_length"], state["period_num"]
    srv = base64.b64decode(re.search(r"^shared-rand-current-value \d+ (\S+)$", text, re.M)[1])

    # The ed25519 identities come from the microdescriptors, over the authority's DirPort.
    digests = re.findall(r"^m (\S+)$", text, re.M)
    flags = testnet.consensus_flags(text)
    url = f"http://{state['authority_dirports'][0]}/tor/micro/d/{'-'.join(digests)}"
    with urllib.request.urlopen(url, timeout=10) as reply:
        micro = reply.read().decode()
    docs = re.split(r"(?m)^(?=onion-key$)", micro)[1:]
    assert sorted(base64.b64encode(hashlib.sha256(d.encode()).digest()).decode().rstrip("=")
                  for d in docs) == sorted(digests)
    ids = [base64.b64decode(re.search(r"^id ed25519 (\S+)$", d, re.M)[1] + "=") for d in docs]
    nick_of = {r["ed25519_id"]: r["nickname"] for r in state["relays"]}
    assert all("HSDir" in flags[n] for n in nick_of.values())

    # The client's choice: two replicas, four HSDirs each, on the ring of this value.
    onion = base64.b32decode(state["onion_address"].removesuffix(".onion").upper())[:32]
    blinded = blind(onion, period, length)
    i8 = lambda n: n.to_bytes(8, "big")
    ring = sorted((hashlib.sha3_256(b"node-idx" + ed + srv + i8(period) + i8(length)).digest(),
                   nick_of[base64.b64encode(ed).decode().rstrip("=")]) for ed in ids)
    chosen = set()
    for replica in (1, 2):
        index = hashlib.sha3_256(b"store-at-idx" + blinded + i8(replica) + i8(length)
                                 + i8(period)).digest()
        start = next((i for i, (node, _) in enumerate(ring) if node > index), 0)
        picked = [n for _, n in ring[start:] + ring[:start] if n not in chosen][:4]
        chosen.update(picked)

    with open(state["onion_service_log"]) as f:
        uploads = re.findall(r"initiated upload request to \$\w+~(\w+) .* \((\w+)\)$", f.read(),
                             re.M)
    holders = {nick for nick, key in uploads if key == blinded.hex().upper()}
    assert chosen and chosen <= holders, (sorted(chosen), sorted(holders))
