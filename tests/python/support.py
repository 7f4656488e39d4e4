"""Helpers of the Python tests: sessions and endpoints that need no Tor
network, a ticking thread, and running a function on several threads."""

import contextlib
import socket
import threading
import time

from mistgrove import Session

# A real v3 address (valid checksum and curve point).
ONION = "6x3iq5tnf4ydb4h6je3f3mswycmup3xyyk55yhlacofqjrxuwhgd26ad.onion"
# Nothing listens there: a connection is refused at once.
REFUSED = "127.0.0.1:1"

# One HSDir relay and no shared random value. Creating a session from it tries
# the bootstrap for the relay's microdescriptor, logs the failed batch and
# succeeds; each request then fails "consensus has no shared-rand values"
# before opening any connection.
CONSENSUS = """\
network-status-version 3 microdesc
vote-status consensus
valid-after 2026-12-05 18:00:00
fresh-until 2026-12-05 19:00:00
params hsdir-interval=1440
r relay1 AAAAAAAAAAAAAAAAAAAAAAAAAAA 2026-12-05 17:00:00 127.0.0.1 9001 0
m BBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBB
s Fast Guard HSDir Running Stable Valid
"""


def consensus_file(directory):
    path = directory / "consensus-microdesc"
    path.write_text(CONSENSUS)
    return str(path)


def session(directory):
    return Session(bootstrap=REFUSED, consensus_file=consensus_file(directory))


@contextlib.contextmanager
def silent_endpoint():
    """A listening socket that never accepts nor answers: a consensus fetch
    from it connects, then waits until its read time-out. Yields the endpoint
    text and the socket (whose backlog shows that a connection was made)."""
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen(1024)
        yield f"127.0.0.1:{listener.getsockname()[1]}", listener


class Ticker:
    """A second Python thread that ticks about once a millisecond while the
    block runs: a call that kept the interpreter lock would stop it."""

    def __enter__(self):
        self.ticks, self.started = 0, time.monotonic()
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run)
        self._thread.start()
        return self

    def _run(self):
        while not self._stop.is_set():
            self.ticks += 1
            time.sleep(0.001)

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()
        self.elapsed = time.monotonic() - self.started


def in_threads(target, arguments):
    """Runs target(argument) for each argument, each on a thread of its own."""
    threads = [threading.Thread(target=target, args=(a,)) for a in arguments]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
