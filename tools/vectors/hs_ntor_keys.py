#!/usr/bin/env python3
"""Known answer for the end-to-end hop that hs-ntor yields, computed without
the C++ core: from the NTOR_KEY_SEED of rend-spec-v3 appendix G, the key
expansion K = SHAKE-256(NTOR_KEY_SEED | m_hsexpand, 128) split as Df, Db, Kf,
Kb, and the first relay body the client builds on that hop (DATA, stream 1,
"hello"): its digest field from SHA3-256 seeded with Df, enciphered with
AES-256-CTR under Kf from an all-zero counter; and the first body the service
sends back on it (DATA, stream 1, "world"), with Db and Kb.

Usage: hs_ntor_keys.py   (prints the first 32 bytes of the client's body and
the whole service body, in hex, as the ntor tests expect them)
"""

import hashlib

from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

NTOR_KEY_SEED = bytes.fromhex("4D0C72FE8AFF35559D95ECC18EB5A368"
                              "83402B28CDFD48C8A530A5A3D7D578DB")
M_HSEXPAND = b"tor-hs-ntor-curve25519-sha3-256-1:hs_key_expand"


def relay_body(digest_seed, key, data):
    body = bytearray(509)
    body[0] = 2  # DATA
    body[3:5] = (1).to_bytes(2, "big")
    body[9:11] = len(data).to_bytes(2, "big")
    body[11:11 + len(data)] = data
    body[5:9] = hashlib.sha3_256(digest_seed + bytes(body)).digest()[:4]
    encryptor = Cipher(algorithms.AES(key), modes.CTR(bytes(16))).encryptor()
    return encryptor.update(bytes(body)) + encryptor.finalize()


def main():
    k = hashlib.shake_256(NTOR_KEY_SEED + M_HSEXPAND).digest(128)
    df, db, kf, kb = k[0:32], k[32:64], k[64:96], k[96:128]
    print("client", relay_body(df, kf, b"hello")[:32].hex())
    service = relay_body(db, kb, b"world").hex()
    print("service")
    for i in range(0, len(service), 96):
        print(service[i:i + 96])


if __name__ == "__main__":
    main()
