#!/usr/bin/env python3
"""Fetches the private test network's onion-service page through mistgrove.

Run under the test network, which names itself through MISTGROVE_TESTNET:
    python3 tests/testnet/testnet.py run -- python3 tools/demo.py
"""

import asyncio
import json
import os
import sys
import time

from mistgrove import Session


def main():
    with open(os.environ["MISTGROVE_TESTNET"]) as f:
        net = json.load(f)
    onion = net["onion_address"]
    started = time.monotonic()
    # The young network has no shared random value yet; its consensus file
    # carries the value the onion service placed its descriptor with.
    session = Session(bootstrap=net["authority_dirports"][0],
                      consensus_file=net["consensus_file"])
    print(f"session ready in {time.monotonic() - started:.2f} s", file=sys.stderr)

    started = time.monotonic()
    page = session.http_get(onion, net["onion_http_port"], "/")
    print(f"GET http://{onion}/ took {time.monotonic() - started:.2f} s", file=sys.stderr)
    sys.stdout.write(page.decode("utf-8", "replace"))

    async def echo():
        return await session.request_async(onion, net["onion_echo_port"], b"hello, onion")

    print(f"echo: {asyncio.run(echo())!r}", file=sys.stderr)


if __name__ == "__main__":
    main()
