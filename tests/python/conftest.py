"""Fixtures of the Python tests: a session without a network, and the private
Tor network: the running one that MISTGROVE_TESTNET names (as
`tests/testnet/testnet.py run -- pytest` sets it), else one this test session
starts once and stops at its end."""

import json
import os
import signal
import sys

import pytest

import support
from mistgrove import Session

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "testnet"))


@pytest.fixture(scope="session")
def consensus_path(tmp_path_factory):
    path = tmp_path_factory.mktemp("consensus") / "consensus-microdesc"
    path.write_text(support.CONSENSUS)
    return str(path)


@pytest.fixture(scope="session")
def session(consensus_path):
    """A session without a network: its requests fail for want of a shared random value."""
    return Session(support.REFUSED, consensus_path)


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
