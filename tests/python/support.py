"""Helpers: a consensus and endpoints that need no Tor network, asyncio calls, a ticking thread, a
wait."""

import asyncio
import contextlib
import ctypes
import os
import socket
import threading
import time

ONION = "6x3iq5tnf4ydb4h6je3f3mswycmup3xyyk55yhlacofqjrxuwhgd26ad.onion"  # checksum and point valid
# Under the address sanitizer (its runtime preloaded) freed memory waits in
# quarantine and the address space is reserved in bulk: sizes prove nothing.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
REFUSED = "127.0.0.1:1"  # nothing listens there

# One HSDir relay and no shared random value: creating a session logs the failed
# microdescriptor bootstrap and succeeds; each request then fails "consensus has
# no shared-rand values" before opening any connection.
CONSENSUS = os.path.join(os.path.dirname(__file__), "../core/data/consensus_one_hsdir.txt")


class _Mallinfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split()]


_mallinfo2 = ctypes.CFUNCTYPE(_Mallinfo2)(("mallinfo2", ctypes.CDLL(None)))


def malloc_heap():
    """The bytes malloc has handed out and not had back, mapped blocks included."""
    info = _mallinfo2()
    return info.uordblks + info.hblkhd


@contextlib.contextmanager
def silent_endpoint():
    """A listener that never answers: a fetch from it waits until its read time-out."""
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen(1024)
        yield f"127.0.0.1:{listener.getsockname()[1]}"


def failing_call():
    """An asyncio call that fails at once without a network (importing mistgrove only now)."""
    from mistgrove import Session
    return Session.create_async(REFUSED, "/nonexistent")


async def begin(start):
    """The future of an asyncio call started in the running loop, not awaited."""
    return start()


async def outcome(start):
    """What the call that `start` starts ends with, within 10 s: its exception's type and text."""
    try:
        return await asyncio.wait_for(start(), 10)
    except Exception as e:
        return f"{type(e).__name__} {e}"


class Ticker:
    """A thread ticking about once a millisecond: a call keeping the interpreter lock stops it."""

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


def until(condition, ceiling=30.0):
    """Polls `condition` until it holds (True) or the ceiling passes (False)."""
    deadline = time.monotonic() + ceiling
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.01)
    return True
