"""No leaks across the binding: every member runs a few thousand times, with
failures of every kind, and neither Python's allocated blocks, nor the
reference counts of the objects it is given, nor the memory malloc hands out
may grow."""

import asyncio
import ctypes
import gc
import sys

import pytest

import support
from mistgrove import Session

ONION = support.ONION
CALLS = 2000


class Mallinfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


_libc = ctypes.CDLL(None)
_libc.mallinfo2.restype = Mallinfo2


def heap_in_use():
    """Bytes malloc has handed out in the main arena, where the calling thread's
    allocations (argument copies, call records, results) are made."""
    info = _libc.mallinfo2()
    return info.uordblks + info.hblkhd


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


class Usage:
    def __init__(self, watched):
        gc.collect()
        self.refs = [sys.getrefcount(o) for o in watched]
        self.blocks, self.heap, self.rss = sys.getallocatedblocks(), heap_in_use(), rss()


def assert_no_growth(before, after):
    assert after.refs == before.refs
    # A leak of one object, or of a small allocation, per call would show as
    # CALLS of them; the margins hold the allocators' own noise.
    assert after.blocks - before.blocks < CALLS // 20
    assert after.heap - before.heap < CALLS * 32
    assert after.rss - before.rss < 1 << 20


@pytest.fixture(scope="module")
def consensus_path(tmp_path_factory):
    return support.consensus_file(tmp_path_factory.mktemp("leaks"))


@pytest.fixture(scope="module")
def session(consensus_path):
    return Session(support.REFUSED, consensus_path)


def attempt(call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except (RuntimeError, TypeError, OverflowError):
        pass


PAYLOAD = b"GET / HTTP/1.0\r\n\r\n"
PATH = "/index.html"
LIST_PAYLOAD = [71, 69, 84]


# Each action gets the session, the consensus path and the watched objects.
BLOCKING = {
    "create": lambda s, p: Session(support.REFUSED, p),
    "create fails": lambda s, p: attempt(Session, support.REFUSED, p + ".missing"),
    "create bad bootstrap": lambda s, p: attempt(Session, "127.0.0.1", p),
    "create bad argument": lambda s, p: attempt(Session, support.REFUSED, p, verbose=1),
    "create bad keyword": lambda s, p: attempt(Session, support.REFUSED, p, foo=1),
    "request": lambda s, p: attempt(s.request, ONION, 7, PAYLOAD),
    "request list payload": lambda s, p: attempt(s.request, ONION, 7, LIST_PAYLOAD),
    "request bad onion": lambda s, p: attempt(s.request, "x", 7, PAYLOAD),
    "request bad payload": lambda s, p: attempt(s.request, ONION, 7, [1, 2, 256]),
    "request bad port": lambda s, p: attempt(s.request, ONION, 70000, PAYLOAD),
    "http_get": lambda s, p: attempt(s.http_get, ONION, path=PATH),
    "http_get bad path": lambda s, p: attempt(s.http_get, ONION, path=None),
    "http_get missing onion": lambda s, p: attempt(s.http_get),
}


@pytest.mark.parametrize("action", BLOCKING.values(), ids=BLOCKING.keys())
def test_blocking_members_do_not_leak(session, consensus_path, action):
    watched = [session, consensus_path, PAYLOAD, PATH, LIST_PAYLOAD, ONION, Session]
    for _ in range(200):
        action(session, consensus_path)
    before = Usage(watched)
    for _ in range(CALLS):
        action(session, consensus_path)
    assert_no_growth(before, Usage(watched))


async def await_quietly(call, *args, **kwargs):
    try:
        await call(*args, **kwargs)
    except (RuntimeError, TypeError, OverflowError):
        pass


ASYNC = {
    "create_async": lambda s, p: Session.create_async(support.REFUSED, p),
    "create_async fails": lambda s, p: await_quietly(Session.create_async, support.REFUSED, "x"),
    "create_async bad argument": lambda s, p: await_quietly(Session.create_async, verbose=1),
    "request_async": lambda s, p: await_quietly(s.request_async, ONION, 7, PAYLOAD),
    "request_async bad onion": lambda s, p: await_quietly(s.request_async, "x", 7, LIST_PAYLOAD),
    "request_async bad port": lambda s, p: await_quietly(s.request_async, ONION, -1),
    "http_get_async": lambda s, p: await_quietly(s.http_get_async, ONION, path=PATH),
    "http_get_async bad keyword": lambda s, p: await_quietly(s.http_get_async, ONION, x=1),
}


@pytest.mark.parametrize("action", ASYNC.values(), ids=ASYNC.keys())
def test_asyncio_members_do_not_leak(session, consensus_path, action):
    watched = [session, consensus_path, PAYLOAD, PATH, LIST_PAYLOAD, ONION, Session]

    async def main():
        async def usage():
            # A delivery job may release its references just after the loop
            # has already resumed the awaiting coroutine.
            await asyncio.sleep(0.05)
            return Usage(watched)

        for _ in range(200):
            await action(session, consensus_path)
        before = await usage()
        for _ in range(CALLS):
            await action(session, consensus_path)
        return before, await usage()

    assert_no_growth(*asyncio.run(main()))
