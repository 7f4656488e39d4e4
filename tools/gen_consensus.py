#!/usr/bin/env python3
"""Writes a synthetic microdescriptor consensus in the format the directory
authorities serve, for the directory benchmarks and parser tests.

The document is deterministic for a given seed and relay count: the header of
a real consensus (params, shared random values, authorities), one router
status entry per relay ("r", optional "a", "m", "s", "v", "pr", "w"), and a
footer with signatures. About half the relays are flagged HSDir.

    python3 tools/gen_consensus.py --relays 7000 --out build/consensus-7000.txt
"""

import argparse
import base64
import datetime
import hashlib
import random
import sys

VALID_AFTER = datetime.datetime(2026, 12, 5, 18, 0, 0)

PARAMS = (
    "AuthDirMaxServersPerAddr=8 CircuitPriorityHalflifeMsec=30000 DoSCircuitCreationBurst=60 "
    "DoSCircuitCreationEnabled=1 DoSCircuitCreationMinConcurrentConnections=2 "
    "DoSCircuitCreationRate=2 DoSConnectionEnabled=1 DoSConnectionMaxConcurrentCount=50 "
    "DoSRefuseSingleHopClientRendezvous=1 ExtendByEd25519ID=1 KISTSchedRunInterval=3 "
    "NumNTorsPerTAP=100 UseOptimisticData=1 bwweightscale=1 cbttestfreq=10 cc_alg=2 "
    "cc_cwnd_full_gap=4 cc_cwnd_full_minpct=25 cc_cwnd_inc=31 cc_cwnd_inc_rate=1 "
    "cc_cwnd_min=124 cc_sscap_exit=600 cc_sscap_onion=475 cc_vegas_alpha_exit=186 "
    "cc_vegas_beta_onion=372 cc_vegas_delta_exit=310 cc_vegas_gamma_onion=248 "
    "circ_max_cell_queue_size=1250 circ_max_cell_queue_size_out=2000 dos_num_circ_max_outq=5 "
    "guard-n-primary-dir-guards-to-use=2 guard-n-primary-guards-to-use=2 "
    "hs_service_max_rdv_failures=1 hsdir_spread_store=4 overload_onionskin_ntor_period_secs=10800 "
    "overload_onionskin_ntor_scale_percent=500 sendme_emit_min_version=1"
)

PROTOCOLS = [
    "Conflux=1 Cons=1-2 Desc=1-2 DirCache=2 FlowCtrl=1-2 HSDir=2 HSIntro=4-5 HSRend=1-2 "
    "Link=1-5 LinkAuth=1,3 Microdesc=1-2 Padding=2 Relay=1-4",
    "Cons=1-2 Desc=1-2 DirCache=2 FlowCtrl=1-2 HSDir=2 HSIntro=4-5 HSRend=1-2 Link=1-5 "
    "LinkAuth=1,3 Microdesc=1-2 Padding=2 Relay=1-4",
    "Conflux=1 Cons=1-2 Desc=1-2 DirCache=2 FlowCtrl=1-2 HSDir=2 HSIntro=4-5 HSRend=1-2 "
    "Link=1-5 LinkAuth=1,3 Microdesc=1-2 Padding=2 Relay=1-3",
]
VERSIONS = ["Tor 0.4.8.12", "Tor 0.4.8.13", "Tor 0.4.8.14", "Tor 0.4.9.1-alpha", "Tor 0.4.7.16"]

AUTHORITIES = [
    ("moria1", "128.31.0.39", 9231, 9201),
    ("tor26", "217.196.147.77", 80, 443),
    ("dizum", "45.66.35.11", 80, 443),
    ("gabelmoo", "131.188.40.189", 80, 443),
    ("dannenberg", "193.23.244.244", 80, 443),
    ("maatuska", "171.25.193.9", 443, 80),
    ("longclaw", "199.58.81.140", 80, 443),
    ("bastet", "204.13.164.118", 80, 443),
    ("faravahar", "216.218.219.41", 80, 443),
]


def b64(data):
    return base64.b64encode(data).decode().rstrip("=")


def timestamp(when):
    return when.strftime("%Y-%m-%d %H:%M:%S")


def nickname(rng):
    alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"
    return "".join(rng.choice(alphabet) for _ in range(rng.randint(4, 19)))


def flags(rng, hsdir):
    chosen = {"Running", "Valid"}
    for flag, chance in (("Fast", 0.85), ("Stable", 0.7), ("V2Dir", 0.9), ("Guard", 0.35),
                         ("Exit", 0.2), ("BadExit", 0.005), ("StaleDesc", 0.01),
                         ("MiddleOnly", 0.003)):
        if rng.random() < chance:
            chosen.add(flag)
    if hsdir:
        chosen.update({"HSDir", "Stable", "Fast"})
    return sorted(chosen)


def header(rng):
    lines = [
        "network-status-version 3 microdesc",
        "vote-status consensus",
        "consensus-method 34",
        "valid-after " + timestamp(VALID_AFTER),
        "fresh-until " + timestamp(VALID_AFTER + datetime.timedelta(hours=1)),
        "valid-until " + timestamp(VALID_AFTER + datetime.timedelta(hours=3)),
        "voting-delay 300 300",
        "client-versions 0.4.8.1-alpha,0.4.8.2-alpha,0.4.8.12,0.4.8.13,0.4.8.14,0.4.9.1-alpha",
        "server-versions 0.4.8.1-alpha,0.4.8.2-alpha,0.4.8.12,0.4.8.13,0.4.8.14,0.4.9.1-alpha",
        "known-flags Authority BadExit Exit Fast Guard HSDir MiddleOnly NoEdConsensus Running "
        "Stable StaleDesc Sybil V2Dir Valid",
        "recommended-client-protocols Cons=2 Desc=2 DirCache=2 HSDir=2 HSIntro=4 HSRend=2 "
        "Link=4-5 Microdesc=2 Relay=2",
        "recommended-relay-protocols Cons=2 Desc=2 DirCache=2 HSDir=2 HSIntro=4 HSRend=2 "
        "Link=4-5 LinkAuth=3 Microdesc=2 Relay=2",
        "required-client-protocols Cons=2 Desc=2 Link=4 Microdesc=2 Relay=2",
        "required-relay-protocols Cons=2 Desc=2 DirCache=2 HSDir=2 HSIntro=4 HSRend=2 Link=4-5 "
        "LinkAuth=3 Microdesc=2 Relay=2",
        "params " + PARAMS,
        "shared-rand-previous-value 9 " + base64.b64encode(rng.randbytes(32)).decode(),
        "shared-rand-current-value 9 " + base64.b64encode(rng.randbytes(32)).decode(),
    ]
    for name, address, dir_port, or_port in AUTHORITIES:
        fingerprint = rng.randbytes(20).hex().upper()
        lines += [
            f"dir-source {name} {fingerprint} {address} {address} {dir_port} {or_port}",
            f"contact {name} operators <{name}@example.org>",
            "vote-digest " + rng.randbytes(20).hex().upper(),
        ]
    return lines


def relay_entry(rng, hsdir):
    published = VALID_AFTER - datetime.timedelta(seconds=rng.randint(600, 18 * 3600))
    address = ".".join(str(rng.randint(1, 254)) for _ in range(4))
    or_port = rng.choice([443, 9001, 9001, 9001, 8443, rng.randint(1024, 65535)])
    dir_port = rng.choice([0, 0, 0, 80, 9030])
    lines = [f"r {nickname(rng)} {b64(rng.randbytes(20))} {timestamp(published)} "
             f"{address} {or_port} {dir_port}"]
    if rng.random() < 0.3:
        lines.append(f"a [2001:db8:{rng.randint(0, 0xffff):x}::{rng.randint(1, 0xffff):x}]:"
                     f"{or_port}")
    lines += [
        "m " + b64(hashlib.sha256(rng.randbytes(16)).digest()),
        "s " + " ".join(flags(rng, hsdir)),
        "v " + rng.choice(VERSIONS),
        "pr " + rng.choice(PROTOCOLS),
        f"w Bandwidth={rng.randint(1, 120000)}",
    ]
    return lines


def footer(rng):
    lines = [
        "directory-footer",
        "bandwidth-weights Wbd=0 Wbe=0 Wbg=4189 Wbm=10000 Wdb=10000 Web=10000 Wed=10000 Wee=10000 "
        "Weg=10000 Wem=10000 Wgb=10000 Wgd=0 Wgg=5811 Wgm=5811 Wmb=10000 Wmd=0 Wme=0 Wmg=4189 "
        "Wmm=10000",
    ]
    for _ in AUTHORITIES:
        signature = base64.encodebytes(rng.randbytes(256)).decode().rstrip("\n").split("\n")
        lines += [f"directory-signature sha256 {rng.randbytes(20).hex().upper()} "
                  f"{rng.randbytes(20).hex().upper()}",
                  "-----BEGIN SIGNATURE-----", *signature, "-----END SIGNATURE-----"]
    return lines


def generate(relays, seed):
    rng = random.Random(seed)
    lines = header(rng)
    for _ in range(relays):
        lines += relay_entry(rng, hsdir=rng.random() < 0.5)
    lines += footer(rng)
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--relays", type=int, default=7000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--out", default="-", help="output file, - for standard output")
    args = parser.parse_args()
    text = generate(args.relays, args.seed)
    if args.out == "-":
        sys.stdout.write(text)
    else:
        with open(args.out, "w", encoding="ascii", newline="\n") as out:
            out.write(text)


if __name__ == "__main__":
    main()
