#!/usr/bin/env python3
"""Descriptor signing-key certificates (cert-spec section 2.1), as a service
issues them and with one rule broken each, signed by fixed Ed25519 keys so
that every run of the tests checks the same bytes; then the inner descriptor
layers that the parser table reads.

Usage: signing_certs.py > tests/core/data/signing_certs.txt
"""

import base64

from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey
from cryptography.hazmat.primitives.serialization import Encoding, PublicFormat

BLINDED = Ed25519PrivateKey.from_private_bytes(bytes([1]) * 32)
SIGNING = Ed25519PrivateKey.from_private_bytes(bytes([2]) * 32)
INVALID = "descriptor signing key certificate invalid"
EXPIRED = "descriptor signing key certificate expired"
EXPIRES = 0x79D9F * 3600  # the expiry hour below, in seconds


def public(key):
    return key.public_key().public_bytes(Encoding.Raw, PublicFormat.Raw)


def body(at=0, value=1, size=76):
    """Version 1, type 08, expiry, key type 01, the signing key, one
    signed-with-key extension holding the blinded key; byte `at` set."""
    b = bytearray(bytes.fromhex("010800079D9F01") + public(SIGNING) + bytes.fromhex("0100200400")
                  + public(BLINDED))
    b[at] = value
    return bytes(b[:size])


def issued(b, key=BLINDED):
    return b + key.sign(b)


def flip_last(b):
    return b[:-1] + bytes([b[-1] ^ 1])


def b64(data):
    return base64.b64encode(data).decode().rstrip("=")


def main():
    cert, two = issued(body()), body(39, 2)
    print("# Made by tools/vectors/signing_certs.py; do not edit.")
    print(f"keys {public(BLINDED).hex()} {public(SIGNING).hex()}")
    print("# cert: what it breaks | the certificate | now | the error")
    rows = [
        ("as issued", cert, EXPIRES, ""),
        ("unknown extension, no flag", issued(two + bytes.fromhex("00030700010101")), EXPIRES, ""),
        ("version 2", issued(body(0, 2)), EXPIRES, INVALID),
        ("type 09", issued(body(1, 9)), EXPIRES, INVALID),
        ("key type 02", issued(body(6, 2)), EXPIRES, INVALID),
        ("no signed-with-key extension", issued(body(39, 0, 40)), EXPIRES, INVALID),
        ("extension names another key", issued(body(size=44) + public(SIGNING)), EXPIRES, INVALID),
        ("extension twice", issued(two + two[40:]), EXPIRES, INVALID),
        ("unknown extension affecting validation", issued(two + bytes.fromhex("00030701010101")),
         EXPIRES, INVALID),
        ("extension longer than the certificate", issued(body(41, 200)), EXPIRES, INVALID),
        ("trailing byte", cert + b"\0", EXPIRES, INVALID),
        ("bad signature", flip_last(cert), EXPIRES, INVALID),
        ("signed by the certified key", issued(body(), SIGNING), EXPIRES, INVALID),
        ("cut at 103 bytes", cert[:103], EXPIRES, INVALID),
        ("empty", b"", EXPIRES, INVALID),
        ("expired", cert, EXPIRES + 1, EXPIRED),
        ("expired with a bad signature", flip_last(cert), EXPIRES + 1, INVALID),
    ]
    for name, data, now, error in rows:
        print(f"cert | {name} | {data.hex() or '-'} | {now} | {error}".rstrip())

    # Inner layers: an introduction point whose onion, auth (the key certified
    # by bytes 7 to 38 of its certificate, nothing else examined) and enc keys
    # are 32 bytes of 1, 2 and 3, edited per row.
    def pem(size):
        c = bytearray([2]) * size
        c[0] = 1
        text = b64(bytes(c))
        lines = "".join(text[i:i + 64] + "\n" for i in range(0, len(text), 64))
        return f"-----BEGIN ED25519 CERT-----\n{lines}-----END ED25519 CERT-----\n"

    intro = b64(bytes.fromhex("010006" "7F000001" "1F90"))
    point = (f"introduction-point {intro}\nonion-key ntor {b64(bytes([1]) * 32)}\nauth-key\n"
             f"{pem(104)}enc-key ntor {b64(bytes([3]) * 32)}\n")
    print("# inner: an inner layer | the points kept | the error")
    rows = [
        (point + point, 2, ""),
        (point.replace(intro, b64(bytes.fromhex("0200050102030405" "0006" "7F000001" "1F90"))), 1, ""),
        (point.replace("enc-key", "enc-keys", 1) + point, 1, ""),  # a dropped point beside a kept one
        (point.replace(pem(104), pem(103)), 0, "short ed25519 cert"),
        (point.replace(intro, b64(bytes.fromhex("0100067F00"))), 0, "truncated link specifier body"),
    ]
    for text, kept, error in rows:
        print(f"inner | {text.encode('unicode_escape').decode()} | {kept} | {error}".rstrip())


if __name__ == "__main__":
    main()
