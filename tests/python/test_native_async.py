"""Asyncio calls abandoned by a time-out, under a closed or abandoned loop, at interpreter shutdown,
in exit handlers, in forked children and beside subinterpreters."""

import asyncio
import gc
import logging
import os
import subprocess
import sys
import time
import weakref

import pytest

import support
from mistgrove import Session

HERE = os.path.dirname(__file__)


def run(program, *args):  # a program of its own process, with this directory importable
    done = subprocess.run([sys.executable, "-c", program, HERE, *args], capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, done.stderr[-2000:]
    return done.stdout


def test_wait_for_time_out_drops_the_late_outcome_silently(session, capfd, caplog):
    reported = []

    async def main():
        asyncio.get_running_loop().set_exception_handler(lambda loop, ctx: reported.append(ctx))
        with support.silent_endpoint() as endpoint:
            future = Session.create_async(endpoint, timeout_ms=300)
            released = weakref.ref(future)
            with pytest.raises(asyncio.TimeoutError):
                await asyncio.wait_for(future, 0.01)
            del future
            ceiling = time.monotonic() + 30
            while released() is not None and time.monotonic() < ceiling:
                await asyncio.sleep(0.01)  # until the late outcome found its future cancelled
            assert released() is None
        # The executor still serves calls, and failures arrive through the future.
        future = session.request_async("x", 1)
        assert asyncio.isfuture(future) and future.get_loop() is asyncio.get_running_loop()
        assert not future.done()
        with pytest.raises(RuntimeError, match="^v3 onion address must have 56 base32 characters$"):
            await future

    with caplog.at_level(logging.DEBUG, logger="asyncio"):
        asyncio.run(main())
    assert reported == []
    assert [r.getMessage() for r in caplog.records if r.levelno >= logging.WARNING] == []
    assert capfd.readouterr().err == ""


def test_a_closed_loop_leaves_the_future_pending_and_prints_its_error(capfd):
    loop = asyncio.new_event_loop()

    async def start():
        return Session.create_async(support.REFUSED, "/nonexistent")

    future = loop.run_until_complete(start())
    loop.close()
    err = []
    assert support.until(lambda: err.append(capfd.readouterr().err) or "".join(err).endswith(
        "RuntimeError: Event loop is closed\n"))
    assert not future.done()
    assert "".join(err).startswith("Traceback (most recent call last):")


def test_an_abandoned_loop_with_a_delivery_queued_is_collected():
    loop = asyncio.new_event_loop()

    async def start():
        return Session.create_async(support.REFUSED, "/nonexistent")

    future = loop.run_until_complete(start())
    collected = weakref.ref(loop)
    del loop, future  # the outcome's completor waits in the loop's queue: a cycle
    assert support.until(lambda: gc.collect() >= 0 and collected() is None)


# Deliveries racing the loop's close and the interpreter's finalization must not end the process;
# an exit handler registered before the import runs after the binding closed its asyncio calls.
SHUTDOWN = """
import asyncio, atexit, sys
sys.path.insert(0, sys.argv[1])
import support

async def late():
    from mistgrove import Session
    try:
        await Session.create_async()
    except RuntimeError as e:
        print(e)

atexit.register(asyncio.run, late())
from mistgrove import Session

async def main():
    with support.silent_endpoint() as endpoint:
        futures = [Session.create_async(endpoint, timeout_ms=t) for t in range(1, 300)]
        await asyncio.wait(futures, timeout=30, return_when=asyncio.FIRST_COMPLETED)

asyncio.run(main())
"""


def test_calls_ending_during_interpreter_shutdown():
    for _ in range(8):
        assert run(SHUTDOWN) == "cannot schedule new futures after interpreter shutdown\n"


# An exit handler's call, by where the handler was registered.
EXIT_HANDLER = """
import asyncio, atexit, sys
sys.path.insert(0, sys.argv[1])
import support

def call(start):
    async def report():
        try:
            await asyncio.wait_for(start(), 20)
        except Exception as e:
            print(type(e).__name__, e)
    return report()

def failing():
    from mistgrove import Session
    return Session.create_async(support.REFUSED, "/nonexistent")

if sys.argv[2] == "before the import":
    atexit.register(asyncio.run, call(failing))
from mistgrove import Session
if sys.argv[2] == "after the import":  # the process's first asyncio call
    atexit.register(asyncio.run, call(failing))
if sys.argv[2] == "awaiting a call started before exit":
    loop, endpoint = asyncio.new_event_loop(), support.silent_endpoint()
    atexit.register(lambda: loop.run_until_complete(call(lambda: pending)))
    async def start():  # the process's first asyncio call
        return Session.create_async(endpoint.__enter__(), timeout_ms=500)
    pending = loop.run_until_complete(start())
"""


@pytest.mark.parametrize("order, printed", [
    ("before the import", "RuntimeError cannot schedule new futures after interpreter shutdown"),
    ("after the import", "RuntimeError failed to open /nonexistent"),
    ("awaiting a call started before exit", "RuntimeError Resource temporarily unavailable (os error 11)"),
])
def test_calls_of_exit_handlers(order, printed):
    assert run(EXIT_HANDLER, order) == printed + "\n"


# A child forked after the executor's threads started, or while a delivery waits inside the gate
# for the interpreter lock, starts afresh: its calls complete and it exits.
FORK = """
import asyncio, multiprocessing, os, sys, time
from mistgrove import Session

async def call():
    try:
        await asyncio.wait_for(Session.create_async("127.0.0.1:1", "/nonexistent"), 10)
    except Exception as e:
        return f"{type(e).__name__} {e}"

def child():
    return asyncio.run(call())

def reap(pid):  # the child's exit code; a child still running after 20 s is killed
    ceiling = time.monotonic() + 20
    while time.monotonic() < ceiling:
        if os.waitpid(pid, os.WNOHANG)[0]:
            return "exited"
        time.sleep(0.01)
    os.kill(pid, 9)
    return "hung"

print(child(), flush=True)
if sys.argv[2] == "pool":
    with multiprocessing.get_context("fork").Pool(1) as pool:
        print(pool.apply(child))
elif sys.argv[2] == "fork":
    pid = os.fork()
    if pid == 0:
        print(child(), flush=True)
        sys.exit()
    print(reap(pid))
else:
    loop = asyncio.new_event_loop()
    async def start():
        return Session.create_async("127.0.0.1:1", "/nonexistent")
    future = loop.run_until_complete(start())
    sys.setswitchinterval(1000)  # this thread keeps the interpreter lock until it blocks
    spin = time.monotonic() + 0.5  # the outcome's delivery enters the gate meanwhile
    while time.monotonic() < spin:
        pass
    pid = os.fork()
    if pid == 0:
        sys.exit()
    sys.setswitchinterval(0.005)
    print(reap(pid))
"""
FAILED = "RuntimeError failed to open /nonexistent"


@pytest.mark.parametrize("how, printed", [
    ("pool", [FAILED, FAILED]), ("fork", [FAILED, FAILED, "exited"]),
    ("while a delivery waits in the gate", [FAILED, "exited"])])
def test_forked_children_start_afresh(how, printed):
    assert run(FORK, how).splitlines() == printed


# A subinterpreter may not load the module, and its end leaves the main interpreter's calls working.
SUBINTERPRETER = """
import asyncio, os

async def call():
    try:
        from mistgrove import Session
        await asyncio.wait_for(Session.create_async("127.0.0.1:1", "/nonexistent"), 10)
    except Exception as e:
        os.write(1, f"{type(e).__name__} {e}\\n".encode())
"""
IN_MAIN = SUBINTERPRETER + """
import _testcapi
asyncio.run(call())
_testcapi.run_in_subinterp(SUBINTERPRETER + "\\nasyncio.run(call())")
asyncio.run(call())
"""


def test_subinterpreters_are_refused():
    pytest.importorskip("_testcapi")
    assert run(f"SUBINTERPRETER = {SUBINTERPRETER!r}\n{IN_MAIN}").splitlines() == [
        FAILED, "ImportError module mistgrove._native does not support loading in subinterpreters",
        FAILED]
