#!/usr/bin/env python3
"""Known answers for onion addresses, time periods, key blinding and
subcredentials, computed without the C++ core: Python's base64 and hashlib
plus a small pure-Python Ed25519 group (rend-spec-v3 sections 2.1, 6 and
appendix A.2).

Usage: onion_vectors.py > tests/core/data/onion_vectors.txt
"""

import base64
import datetime
import hashlib
import sys

# --- Ed25519 over GF(2^255 - 19), extended coordinates (X:Y:Z:T), x = X/Z,
# y = Y/Z, x*y = T/Z.
P = 2**255 - 19
L = 2**252 + 27742317777372353535851937790883648493
D = (-121665 * pow(121666, P - 2, P)) % P
SQRT_M1 = pow(2, (P - 1) // 4, P)
IDENTITY = (0, 1, 1, 0)


def inv(x):
    return pow(x, P - 2, P)


def point_add(a, b):
    x1, y1, z1, t1 = a
    x2, y2, z2, t2 = b
    aa = (y1 - x1) * (y2 - x2) % P
    bb = (y1 + x1) * (y2 + x2) % P
    cc = 2 * D * t1 * t2 % P
    dd = 2 * z1 * z2 % P
    e, f, g, h = bb - aa, dd - cc, dd + cc, bb + aa
    return (e * f % P, g * h % P, f * g % P, e * h % P)


def scalar_mult(k, point):
    result = IDENTITY
    while k > 0:
        if k & 1:
            result = point_add(result, point)
        point = point_add(point, point)
        k >>= 1
    return result


def decompress(data):
    """The point of a 32-byte encoding, or None when it is not one."""
    if len(data) != 32:
        return None
    y = int.from_bytes(data, "little")
    sign = y >> 255
    y &= (1 << 255) - 1
    if y >= P:
        return None
    x2 = (y * y - 1) * inv(D * y * y + 1) % P
    x = pow(x2, (P + 3) // 8, P)
    if (x * x - x2) % P != 0:
        x = x * SQRT_M1 % P
    if (x * x - x2) % P != 0:
        return None
    if x == 0 and sign:
        return None
    if x & 1 != sign:
        x = P - x
    return (x, y, 1, x * y % P)


def compress(point):
    x, y, z, _ = point
    zi = inv(z)
    x, y = x * zi % P, y * zi % P
    return (y | ((x & 1) << 255)).to_bytes(32, "little")


def is_identity(point):
    x, y, z, _ = point
    return x % P == 0 and (y - z) % P == 0


# --- Onion-service derivations.
BASEPOINT_TEXT = (
    b"(15112221349535400772501151409588531511454012693041857206046113283949847762202, "
    b"46316835694926478169428394003475163141307993866256225615783033603165251855960)"
)


def sha3(*parts):
    h = hashlib.sha3_256()
    for part in parts:
        h.update(part)
    return h.digest()


def onion_identity(address):
    label = address.lower().removesuffix(".onion")
    raw = base64.b32decode(label.upper())
    key, checksum, version = raw[:32], raw[32:34], raw[34]
    assert version == 3
    assert sha3(b".onion checksum", key, b"\x03")[:2] == checksum
    return key


def blind(identity, period_num, period_length):
    point = decompress(identity)
    assert point is not None and is_identity(scalar_mult(L, point))
    nonce = b"key-blind" + period_num.to_bytes(8, "big") + period_length.to_bytes(8, "big")
    h = bytearray(sha3(b"Derive temporary signing key\x00", identity, BASEPOINT_TEXT, nonce))
    h[0] &= 248
    h[31] &= 63
    h[31] |= 64
    # A' = h A; A has prime order, so this equals the product with h mod l.
    return compress(scalar_mult(int.from_bytes(h, "little"), point))


def subcredential(identity, blinded):
    return sha3(b"subcredential", sha3(b"credential", identity), blinded)


def period_number(valid_after, fresh_until, length_minutes):
    voting_minutes = (fresh_until - valid_after) // 60
    offset = 12 * voting_minutes if voting_minutes > 0 else 720
    return (valid_after // 60 - offset) // length_minutes


def utc(*fields):
    return int(datetime.datetime(*fields, tzinfo=datetime.timezone.utc).timestamp())


ADDRESS = "6x3iq5tnf4ydb4h6je3f3mswycmup3xyyk55yhlacofqjrxuwhgd26ad.onion"
# The blinded key under which a hidden-service directory of the private test
# network served this service's descriptor for period 1247622 of 24 minutes.
SERVED_BLINDED = "1b94094556b3ecd45da5838575b55b15620c898ec18f15b137c1c381177eb4c2"

# (valid-after, fresh-until, hsdir-interval in minutes)
PERIODS = [
    (utc(2026, 12, 5, 18, 0, 0), utc(2026, 12, 5, 19, 0, 0), 1440),
    (utc(2026, 12, 5, 11, 0, 0), utc(2026, 12, 5, 12, 0, 0), 1440),
    (utc(2026, 12, 5, 12, 0, 0), utc(2026, 12, 5, 13, 0, 0), 1440),
    (utc(2026, 12, 5, 18, 0, 0), utc(2026, 12, 5, 18, 30, 0), 1440),
    (utc(2026, 12, 5, 18, 0, 0), utc(2026, 12, 5, 19, 0, 0), 720),
    (utc(2026, 12, 6, 17, 4, 0), utc(2026, 12, 6, 17, 5, 0), 24),
]


def invalid_keys(identity):
    """Encodings that are no honest service key, each with its fault."""
    not_on_curve = (2).to_bytes(32, "little")
    assert decompress(not_on_curve) is None
    small_order = (1).to_bytes(32, "little")
    assert is_identity(scalar_mult(8, decompress(small_order)))
    # y = 3 is on the curve; P + 3 encodes it a second, non-canonical way.
    non_canonical = (P + 3).to_bytes(32, "little")
    assert decompress((3).to_bytes(32, "little")) is not None
    x, y, z, t = decompress(identity)
    mixed_order = compress(point_add((x, y, z, t), (0, P - 1, 1, 0)))
    assert not is_identity(scalar_mult(L, decompress(mixed_order)))
    return [
        ("not-on-curve", not_on_curve),
        ("small-order", small_order),
        ("non-canonical", non_canonical),
        ("mixed-order", mixed_order),
    ]


def main(out):
    identity = onion_identity(ADDRESS)
    out.write("# Generated by tools/vectors/onion_vectors.py; do not edit.\n")
    out.write(f"address {ADDRESS}\n")
    out.write(f"identity {identity.hex()}\n")
    out.write("# period valid_after fresh_until hsdir_interval period_num blinded_key subcredential\n")
    for valid_after, fresh_until, length in PERIODS:
        num = period_number(valid_after, fresh_until, length)
        blinded = blind(identity, num, length)
        if (num, length) == (1247622, 24):
            assert blinded.hex() == SERVED_BLINDED, blinded.hex()
        sub = subcredential(identity, blinded)
        out.write(f"period {valid_after} {fresh_until} {length} {num} {blinded.hex()} {sub.hex()}\n")
    out.write("# invalid_key fault key\n")
    for fault, key in invalid_keys(identity):
        out.write(f"invalid_key {fault} {key.hex()}\n")


if __name__ == "__main__":
    main(sys.stdout)
