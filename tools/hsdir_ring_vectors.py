#!/usr/bin/env python3
"""Known answers for the HSDir ring (rend-spec-v3 section 2.2.3), computed with
Python's hashlib for tests/core/data/consensus_hsdir_ring.txt.

The test consensus: relay i (0-based) has the Ed25519 identity of 32 bytes
(i // 2 * 2 + 1) when i < 4, so relays 0 and 1 share an identity, as do 2 and
3; every other relay has 32 bytes (i + 1). Relay i is flagged HSDir unless
i % 5 == 4. Each output line:

    relays replicas spread period_num period_length -> chosen relay numbers

where replicas and spread are "-" when the consensus has no such parameter.
"""

import hashlib

BLINDED_KEY = bytes(range(32))
SHARED_RANDOM = bytes([0x5A]) * 32


def int8(value):
    return (value & 0xFFFFFFFFFFFFFFFF).to_bytes(8, "big")


def identity(i):
    return bytes([i // 2 * 2 + 1 if i < 4 else i + 1]) * 32


def is_hsdir(i):
    return i % 5 != 4


def select(relays, replicas, spread, period_num, period_length):
    ring = []
    for i in range(relays):
        if not is_hsdir(i):
            continue
        index = hashlib.sha3_256(b"node-idx" + identity(i) + SHARED_RANDOM + int8(period_num) +
                                 int8(period_length)).digest()
        ring.append((index, i))
    ring.sort(key=lambda entry: entry[0])  # stable: equal indices keep relay order
    replicas = 2 if replicas is None else min(max(replicas, 1), 16)
    spread = 3 if spread is None else min(max(spread, 1), 128)
    taken, chosen = set(), []
    for replica in range(1, replicas + 1):
        service = hashlib.sha3_256(b"store-at-idx" + BLINDED_KEY + int8(replica) +
                                   int8(period_length) + int8(period_num)).digest()
        start = next((pos for pos, (index, _) in enumerate(ring) if index >= service), len(ring))
        count = 0
        for step in range(len(ring)):
            if count == spread:
                break
            relay = ring[(start + step) % len(ring)][1]
            key = identity(relay).hex().upper()
            if key in taken:
                continue
            taken.add(key)
            chosen.append(relay)
            count += 1
    return chosen


CASES = [
    (12, None, None, 20792, 1440),
    (12, 1, 1, 20792, 1440),
    (12, 3, 4, 20792, 1440),
    (12, 0, 0, 20792, 1440),
    (12, 100, 1000, 20792, 1440),
    (4, None, None, 20792, 1440),
    (30, 4, 5, 20792, 1440),
    (30, None, None, 1, -1),
    (30, 2, 3, 0xFFFFFFFFFFFFFFFF, 24),
    (1, 5, 5, 20792, 1440),
]


def main():
    print("# relays replicas spread period_num period_length -> chosen; "
          "made by tools/hsdir_ring_vectors.py")
    for relays, replicas, spread, period_num, period_length in CASES:
        chosen = select(relays, replicas, spread, period_num, period_length)
        fields = [relays, "-" if replicas is None else replicas, "-" if spread is None else spread,
                  period_num, period_length]
        print(" ".join(map(str, fields)), "->", " ".join(map(str, chosen)))


if __name__ == "__main__":
    main()
