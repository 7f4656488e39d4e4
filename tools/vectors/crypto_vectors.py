#!/usr/bin/env python3
"""Known answers for the core's encodings and cryptography, computed without
the C++ core: Python's base64 and hashlib, and the `cryptography` package for
AES blocks, HKDF-Expand and X25519; then published vectors (RFC 4231, RFC 7748,
NIST SP 800-38A), each checked against the same Python answers.

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
from cryptography.hazmat.primitives.asymmetric.x25519 import X25519PrivateKey, X25519PublicKey
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
    print("# sha256|sha3_256 <data> <digest>")
    for data in messages:
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


RFC4231 = [  # key, data, HMAC-SHA-256: test cases 1-4, 6 and 7
    ("0b" * 20, b"Hi There".hex(),
     "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"),
    (b"Jefe".hex(), b"what do ya want for nothing?".hex(),
     "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"),
    ("aa" * 20, "dd" * 50, "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"),
    ("0102030405060708090a0b0c0d0e0f10111213141516171819", "cd" * 50,
     "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"),
    ("aa" * 131, b"Test Using Larger Than Block-Size Key - Hash Key First".hex(),
     "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"),
    ("aa" * 131, b"This is a test using a larger than block-size key and a larger than "
     b"block-size data. The key needs to be hashed before being used by the HMAC algorithm.".hex(),
     "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"),
]
RFC7748 = [  # scalar, u, result: section 5.2, then 6.1 (Alice with Bob's key, Bob with Alice's)
    ("a546e36bf0527c9d3b16154b82465edd62144c0ac1fc5a18506a2244ba449ac4",
     "e6db6867583030db3594c1a424b15f7c726624ec26b3353b10a903a6d0ab1c4c",
     "c3da55379de9c6908e94ea4df28d084f32eccf03491c71f754b4075577a28552"),
    ("4b66e9d4d1b4673c5ad22691957d6af5c11b6421e0ea01d42ca4169e7918ba0d",
     "e5210f12786811d3f4b7959d0538ae2c31dbe7106fc03c3efc4cd549c715a493",
     "95cbde9476e8907d7aade45cb4b873f88b595a68799fa152e6f8f7647aac7957"),
    ("77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a",
     "de9edb7d7b7dc1b4d35b61c2ece435373f8343c85b78674dadfc7e146f882b4f",
     "4a5d9d5ba4ce2de1728e3bf480350f25e07e21c947d19e3376f09b3c1e161742"),
    ("5dab087e624a8a4b79e17f8b83800ee66f3bb1292618b6fd1c2f8b27ff88e0eb",
     "8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a",
     "4a5d9d5ba4ce2de1728e3bf480350f25e07e21c947d19e3376f09b3c1e161742"),
]
SP800_38A_PLAIN = ("6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
                   "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710")
SP800_38A = [  # key, counter block, ciphertext: F.5.1 (AES-128) and F.5.5 (AES-256)
    ("2b7e151628aed2a6abf7158809cf4f3c", "f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff",
     "874d6191b620e3261bef6864990db6ce9806f66b7970fdff8617187bb9fffdff"
     "5ae4df3edbd5d35e5b4f09020db03eab1e031dda2fbe03d1792170a0f3009cee"),
    ("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4",
     "f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff",
     "601ec313775789a5b7a7f504bbf3d228f443e3ca4d62b59aca84e990cacaf5c5"
     "2b0930daa23de94ce87017ba2d84988ddfc9c58db67aada613c2dd08457941a6"),
]


def published():
    print("# hmac_sha256 from RFC 4231")
    for key, data, tag in RFC4231:
        key, data, tag = bytes.fromhex(key), bytes.fromhex(data), bytes.fromhex(tag)
        assert hmac.new(key, data, hashlib.sha256).digest() == tag
        emit("hmac_sha256", key, data, tag)
    print("# x25519 <scalar> <u> <result> from RFC 7748; x25519_public <scalar> <public>")
    for scalar, u, result in RFC7748:
        scalar, u, result = bytes.fromhex(scalar), bytes.fromhex(u), bytes.fromhex(result)
        private = X25519PrivateKey.from_private_bytes(scalar)
        assert private.exchange(X25519PublicKey.from_public_bytes(u)) == result
        emit("x25519", scalar, u, result)
    for scalar, _, _ in RFC7748[2:]:
        public = X25519PrivateKey.from_private_bytes(bytes.fromhex(scalar)).public_key()
        emit("x25519_public", bytes.fromhex(scalar), public.public_bytes_raw())
    print("# aes_ctr from NIST SP 800-38A")
    for key, iv, out in SP800_38A:
        key, iv, out = bytes.fromhex(key), bytes.fromhex(iv), bytes.fromhex(out)
        assert CtrStream(key, iv).apply(bytes.fromhex(SP800_38A_PLAIN)) == out
        emit("aes_ctr", key, iv, bytes.fromhex(SP800_38A_PLAIN), out)


def main():
    print("# Generated by tools/vectors/crypto_vectors.py; do not edit.")
    encodings()
    hashes_and_macs()
    aes()
    relay()
    published()


if __name__ == "__main__":
    main()
