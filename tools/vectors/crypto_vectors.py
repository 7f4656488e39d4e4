#!/usr/bin/env python3
"""Known answers for the core's encodings and cryptography, computed without
the C++ core: Python's base64 and hashlib, and the `cryptography` package for
AES blocks and HKDF-Expand.

AES counter mode is assembled here from single AES blocks with the counter
kept as a Python integer modulo 2**128, so the counter arithmetic is checked
independently of any library's counter mode. Relay-cell bodies follow the
tor-spec relay cell layout with running digests kept by hashlib.

Usage: crypto_vectors.py > tests/core/data/crypto_vectors.txt

Output lines are "<kind> <field> ...": hex byte strings ("-" when empty),
decimal integers, or text without spaces.
"""

import base64
import hashlib
import hmac

from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
from cryptography.hazmat.primitives.kdf.hkdf import HKDFExpand

NTOR_EXPAND_INFO = b"ntor-curve25519-sha256-1:key_expand"
BODY_LEN = 509


def material(label, n):
    """Deterministic test bytes: SHAKE-256 of a label."""
    return hashlib.shake_256(label.encode()).digest(n)


def hx(data):
    return data.hex() if data else "-"


def emit(*fields):
    print(" ".join(hx(f) if isinstance(f, (bytes, bytearray)) else str(f) for f in fields))


class CtrStream:
    """AES-CTR keystream from AES-ECB blocks of (iv + n) mod 2**128."""

    def __init__(self, key, iv=bytes(16)):
        self.ecb = Cipher(algorithms.AES(key), modes.ECB()).encryptor()
        self.counter = int.from_bytes(iv, "big")
        self.pending = b""

    def apply(self, data):
        out = bytearray()
        for byte in data:
            if not self.pending:
                block = self.counter.to_bytes(16, "big")
                self.pending = self.ecb.update(block)
                self.counter = (self.counter + 1) % 2**128
            out.append(byte ^ self.pending[0])
            self.pending = self.pending[1:]
        return bytes(out)


class Hop:
    """One end of a relay hop: a running digest and a keystream."""

    def __init__(self, seed, key, sha3):
        self.digest = hashlib.sha3_256() if sha3 else hashlib.sha1()
        self.digest.update(seed)
        self.stream = CtrStream(key)

    def build(self, command, stream_id, data, digest_field=None):
        body = bytearray(BODY_LEN)
        body[0] = command
        body[3:5] = stream_id.to_bytes(2, "big")
        body[9:11] = len(data).to_bytes(2, "big")
        body[11 : 11 + len(data)] = data
        if digest_field is None:
            self.digest.update(bytes(body))
            digest_field = self.digest.copy().digest()[:4]
        body[5:9] = digest_field
        return self.stream.apply(bytes(body))


def encodings():
    print("# base64 <data> <unpadded standard base64>")
    for n in (0, 1, 2, 3, 4, 5, 31, 32, 33, 100):
        data = material(f"base64 {n}", n)
        emit("base64", data, base64.b64encode(data).decode().rstrip("=") or "-")
    print("# base32 <56 characters> <35 bytes>")
    for label in ("onion a", "onion b"):
        data = material(label, 35)
        emit("base32", base64.b32encode(data).decode().lower(), data)


def hashes_and_macs():
    messages = [b"", b"abc", material("message 200", 200), material("message 1000", 1000)]
    print("# sha1|sha256|sha3_256 <data> <digest>")
    for data in messages:
        emit("sha1", data, hashlib.sha1(data).digest())
        emit("sha256", data, hashlib.sha256(data).digest())
        emit("sha3_256", data, hashlib.sha3_256(data).digest())
    print("# shake256 <data> <length> <output>")
    for data in messages[:3]:
        for n in (1, 32, 64, 80, 128, 200):
            emit("shake256", data, n, hashlib.shake_256(data).digest(n))
    print("# hmac_sha256 <key> <message> <tag>")
    for n in (0, 20, 64, 65, 131):
        key = material(f"hmac key {n}", n)
        msg = material(f"hmac message {n}", 50)
        emit("hmac_sha256", key, msg, hmac.new(key, msg, hashlib.sha256).digest())
    print("# hkdf_expand <key seed> <92 bytes, HKDF-Expand with the ntor info>")
    for n in (32, 20):
        seed = material(f"hkdf seed {n}", n)
        out = HKDFExpand(hashes.SHA256(), 92, NTOR_EXPAND_INFO).derive(seed)
        emit("hkdf_expand", seed, out)
    print("# kdf_tor <seed> <length> <output>")
    for n_seed, n_out in ((40, 92), (40, 20), (1, 100), (0, 45)):
        seed = material(f"kdf seed {n_seed}", n_seed)
        stream = b"".join(hashlib.sha1(seed + bytes([i])).digest() for i in range(6))
        emit("kdf_tor", seed, n_out, stream[:n_out])
    print("# tor_mac <key> <message> <mac>")
    for n_key, n_msg in ((32, 100), (0, 10), (100, 0)):
        key = material(f"mac key {n_key}", n_key)
        msg = material(f"mac message {n_msg}", n_msg)
        mac = hashlib.sha3_256(len(key).to_bytes(8, "big") + key + msg).digest()
        emit("tor_mac", key, msg, mac)


def aes():
    print("# aes_ctr <key> <iv> <data> <output>")
    ivs = [bytes(16), bytes(12) + b"\xff" * 4, b"\xff" * 16, material("iv", 16)]
    for key_len in (16, 32):
        key = material(f"aes key {key_len}", key_len)
        for iv in ivs:
            data = material("aes data", 77)
            emit("aes_ctr", key, iv, data, CtrStream(key, iv).apply(data))


def relay():
    print("# relay <sha1|sha3> <Df> <Db> <Kf> <Kb>: a hop; the lines after it use it")
    print("# forward <command> <stream id> <data> <encrypted body>: encrypt_relay")
    print("# backward <encrypted body> <1|0>: recognized after the backward layer")
    for sha3, seed_len, key_len in ((False, 20, 16), (True, 32, 32)):
        name = "sha3" if sha3 else "sha1"
        df, db = material(f"{name} Df", seed_len), material(f"{name} Db", seed_len)
        kf, kb = material(f"{name} Kf", key_len), material(f"{name} Kb", key_len)
        emit("relay", name, df, db, kf, kb)
        ours = Hop(df, kf, sha3)
        for command, stream_id, n in ((2, 1, 498), (2, 1, 0), (5, 0, 3), (1, 0x1234, 17)):
            data = material(f"{name} forward {n}", n)
            emit("forward", command, stream_id, data, ours.build(command, stream_id, data))
        theirs = Hop(db, kb, sha3)
        emit("backward", theirs.build(4, 1, material("connected", 8)), 1)
        # A wrong digest field: the hop did not absorb this body.
        emit("backward", theirs.build(2, 1, b"forged", digest_field=b"\x01\x02\x03\x04"), 0)
        emit("backward", theirs.build(2, 1, material("data", 498)), 1)
        # Meant for a hop further on: looks random after this layer.
        emit("backward", theirs.stream.apply(material(f"{name} onward", BODY_LEN)), 0)
        emit("backward", theirs.build(3, 1, b"\x06"), 1)


def main():
    print("# Generated by tools/vectors/crypto_vectors.py; do not edit.")
    encodings()
    hashes_and_macs()
    aes()
    relay()


if __name__ == "__main__":
    main()
