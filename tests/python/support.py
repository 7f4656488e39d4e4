"""Helpers of the Python tests: a consensus and endpoints that need no Tor
network, and a ticking thread."""

import contextlib
import os
import socket
import threading
import time

ONION = "6x3iq5tnf4ydb4h6je3f3mswycmup3xyyk55yhlacofqjrxuwhgd26ad.onion"  # checksum and point valid
# Under the address sanitizer (its runtime preloaded) freed memory waits in
# quarantine and the address space is reserved in bulk: sizes prove nothing.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
REFUSED = "127.0.0.1:1"  # nothing listens there

# One HSDir relay and no shared random value. Creating a session from it tries
# the bootstrap for the relay's microdescriptor, logs the failed batch and
# succeeds; each request then fails "consensus has no shared-rand values"
# before opening any connection.
CONSENSUS = """\
valid-after 2026-12-05 18:00:00
fresh-until 2026-12-05 19:00:00
params hsdir-interval=1440
r relay1 AAAAAAAAAAAAAAAAAAAAAAAAAAA 2026-12-05 17:00:00 127.0.0.1 9001 0
m BBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBB
s Fast Guard HSDir Running Stable Valid
"""


@contextlib.contextmanager
def silent_endpoint():
    """The endpoint of a socket that listens but never answers: a consensus
    fetch from it connects, then waits until its read time-out."""
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen(1024)
        yield f"127.0.0.1:{listener.getsockname()[1]}"


class Ticker:
    """A second Python thread that ticks about once a millisecond while the
    block runs: a call that kept the interpreter lock would stop it."""

    def __enter__(self):
        self.ticks, self.started, self._stop = 0, time.monotonic(), threading.Event()
        self._thread = threading.Thread(target=self._run)
        self._thread.start()
        return self

    def _run(self):
        while not self._stop.wait(0.001):
            self.ticks += 1

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()
        self.elapsed = time.monotonic() - self.started
