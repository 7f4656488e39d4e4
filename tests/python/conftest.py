"""Fixtures of the Python tests: a session without a network, and the state of
the private Tor network that MISTGROVE_TESTNET names."""

import json
import os

import pytest

import support
from mistgrove import Session


@pytest.fixture(scope="session")
def consensus_path(tmp_path_factory):
    path = tmp_path_factory.mktemp("consensus") / "consensus-microdesc"
    path.write_text(support.CONSENSUS)
    return str(path)


@pytest.fixture(scope="session")
def session(consensus_path):
    """A session without a network: its requests fail for want of a shared random value."""
    return Session(support.REFUSED, consensus_path)


@pytest.fixture(scope="session")
def testnet():
    """The network's state: authority_dirports, relays, onion_address, onion_http_port,
    onion_echo_port, consensus_file, page_response_path, ... (a dict)."""
    path = os.environ.get("MISTGROVE_TESTNET")
    if not path:
        pytest.skip("needs the private Tor network: tests/testnet/testnet.py run -- pytest")
    with open(path) as f:
        return json.load(f)
