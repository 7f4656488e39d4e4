"""Every member, run a few thousand times with failures of every kind, grows neither
the reference counts of what it is given, nor Python's blocks, malloc's heap or RSS."""

import asyncio
import contextlib
import gc
import inspect
import json
import os
import subprocess
import sys

import pytest

import support
from mistgrove import Session

ONION, CALLS, PAYLOAD, PATH, LIST_PAYLOAD = support.ONION, 2000, b"GET /\r\n\r\n", "/i", [71, 69]


def usage(watched):  # reference counts, Python's blocks, malloc's heap, RSS
    gc.collect()
    with open("/proc/self/statm") as f:
        return ([sys.getrefcount(o) for o in watched], sys.getallocatedblocks(),
                support.malloc_heap(), int(f.read().split()[1]) * 4096)


# Each action gets the session and the consensus path; most of them fail.
ACTIONS = {
    "create": lambda s, p: Session(support.REFUSED, p),
    "create fails": lambda s, p: Session(support.REFUSED, p + ".missing"),
    "create bad argument": lambda s, p: Session(support.REFUSED, p, verbose=1),
    "create bad keyword": lambda s, p: Session(support.REFUSED, p, foo=1),
    "request": lambda s, p: s.request(ONION, 7, PAYLOAD),
    "request list payload": lambda s, p: s.request(ONION, 7, LIST_PAYLOAD),
    "request bad onion": lambda s, p: s.request("x", 7, PAYLOAD),
    "request bad payload": lambda s, p: s.request(ONION, 7, [1, 2, 256]),
    "http_get": lambda s, p: s.http_get(ONION, path=PATH),
    "http_get bad path": lambda s, p: s.http_get(ONION, path=None),
    "create_async": lambda s, p: Session.create_async(support.REFUSED, p),
    "create_async fails": lambda s, p: Session.create_async(support.REFUSED, "x"),
    "create_async bad argument": lambda s, p: Session.create_async(verbose=1),
    "request_async": lambda s, p: s.request_async(ONION, 7, PAYLOAD),
    "request_async bad onion": lambda s, p: s.request_async("x", 7, LIST_PAYLOAD),
    "request_async bad port": lambda s, p: s.request_async(ONION, -1),
    "http_get_async": lambda s, p: s.http_get_async(ONION, path=PATH),
}


def measure(name):  # prints the usage around CALLS calls of one action, in a process of its own
    session, action = Session(support.REFUSED, support.CONSENSUS), ACTIONS[name]
    watched = [session, support.CONSENSUS, PAYLOAD, PATH, LIST_PAYLOAD, ONION, Session]
    calls = handed = 0  # asyncio calls made; their deliveries that have returned
    # A delivering thread still holds what it delivers until call_soon_threadsafe returns to
    # it, and the loop may resume the awaiting coroutine before then. Without forced switches
    # it keeps the lock from that return until it has let go of them, so once the loop sees
    # it counted here, it holds nothing.
    sys.setswitchinterval(1e6)

    def counting(call_soon_threadsafe):
        def wrapper(*args, **kwargs):
            nonlocal handed
            try:
                return call_soon_threadsafe(*args, **kwargs)
            finally:
                handed += 1
        return wrapper

    async def once():  # its frame, not the loop's, holds what the action gives
        nonlocal calls
        with contextlib.suppress(RuntimeError, TypeError, OverflowError):
            outcome = action(session, support.CONSENSUS)
            if inspect.isawaitable(outcome):
                calls += 1
                await outcome

    async def repeat(count):  # an asyncio call has let go of everything once its delivery has
        for _ in range(count):
            await once()
        assert support.until(lambda: handed == calls), (handed, calls)
        return usage(watched)

    async def main():
        loop = asyncio.get_running_loop()
        loop.call_soon_threadsafe = counting(loop.call_soon_threadsafe)
        await repeat(200)
        # A new thread brings its stack and thread-local state; under load the blocking
        # pool grows now and then. And once in a few hundred windows, a new arena of
        # Python's object allocator lands in an address range its map has no node for yet
        # (3.10 and later), and the map takes 128 KiB from malloc for good. A leak grows
        # every window, so of two windows in which the threads held still, the one whose
        # heap grew least is judged.
        windows = []
        for _ in range(20):
            threads = set(os.listdir("/proc/self/task"))
            before, after = await repeat(0), await repeat(CALLS)
            if set(os.listdir("/proc/self/task")) == threads:
                windows.append((before, after))
            if len(windows) == 2:
                return min(windows, key=lambda w: (w[1][2] - w[0][2], w[1][3] - w[0][3]))
        raise AssertionError("the executor's threads never held still for two windows")

    print(json.dumps(asyncio.run(main())))


@pytest.mark.parametrize("name", ACTIONS)
def test_members_do_not_leak(name):
    # Without per-thread caches and arenas: what those hold comes and goes with load.
    env = dict(os.environ, GLIBC_TUNABLES="glibc.malloc.tcache_count=0:glibc.malloc.arena_max=1")
    script = f"import sys; sys.path.insert(0, {os.path.dirname(__file__)!r}); import {__name__} as t"
    done = subprocess.run([sys.executable, "-c", f"{script}; t.measure({name!r})"], env=env,
                          capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr[-3000:]
    (refs, blocks, heap, rss), after = json.loads(done.stdout)
    assert after[0] == refs
    # A leak of an object or a block per call shows as CALLS of them (malloc's smallest block
    # is 32 bytes): four times the bounds or more. Nothing else comes near them.
    assert after[1] - blocks < CALLS // 10
    if not support.SANITIZED:
        assert after[2] - heap < CALLS * 8 and after[3] - rss < 1 << 20
