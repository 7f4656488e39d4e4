"""The private Tor network for the Python tests: the running one that
MISTGROVE_TESTNET names (as `tests/testnet/testnet.py run -- pytest` sets it),
else one this session starts once and stops at its end."""

import json
import os
import signal
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "testnet"))


def _interrupt(signum, frame):
    raise KeyboardInterrupt  # pytest then runs the finalizers that stop the network


@pytest.fixture(scope="session")
def testnet():
    """The network's state: authority_dirports, relays, onion_address, onion_http_port,
    onion_echo_port, consensus_file, big_path/big_sha256/big_length, ... (a dict)."""
    path = os.environ.get("MISTGROVE_TESTNET")
    if path:
        with open(path) as f:
            yield json.load(f)
        return
    import testnet as fixture

    previous = signal.signal(signal.SIGTERM, _interrupt)
    net = fixture.Testnet()
    try:
        yield net.start()
    finally:
        net.stop()
        signal.signal(signal.SIGTERM, previous)
