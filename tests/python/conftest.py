"""Fixtures: a session without a network, and the private Tor network's state."""

import json
import os

import pytest

import support
from mistgrove import Session


@pytest.fixture(scope="session")
def session():
    """A session without a network: its requests fail for want of a shared random value."""
    return Session(support.REFUSED, support.CONSENSUS)


@pytest.fixture(scope="session")
def testnet():
    path = os.environ.get("MISTGROVE_TESTNET")
    if not path:
        pytest.skip("needs the private Tor network: tests/testnet/testnet.py run -- pytest")
    with open(path) as f:
        return json.load(f)
