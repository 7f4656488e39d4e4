"""Asyncio calls abandoned by a time-out, under a closed or abandoned loop, at interpreter shutdown,
in exit handlers, in forked children and beside subinterpreters."""

import asyncio
import gc
import logging
import os
import subprocess
import sys
import weakref

import pytest

import support
from mistgrove import Session

FAILED = "RuntimeError failed to open /nonexistent"  # what support.failing_call ends with


def run(program, *args):  # a program of its own process, with this directory importable
    done = subprocess.run([sys.executable, "-c", program, os.path.dirname(__file__), *args],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr[-2000:]
    return done.stdout.splitlines()


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
            for _ in range(3000):  # until the late outcome found its future cancelled
                if released() is None:
                    break
                await asyncio.sleep(0.01)
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


def test_a_closed_or_abandoned_loop(capfd):
    loop = asyncio.new_event_loop()
    future = loop.run_until_complete(support.begin(support.failing_call))
    loop.close()  # the future stays pending and the delivery prints its error
    err = []
    assert support.until(lambda: err.append(capfd.readouterr().err) or "".join(err).endswith(
        "RuntimeError: Event loop is closed\n"))
    assert not future.done() and "".join(err).startswith("Traceback (most recent call last):")
    # A loop dropped unclosed is reclaimed, though the outcome's completor waits in its queue.
    loop = asyncio.new_event_loop()
    future = loop.run_until_complete(support.begin(support.failing_call))
    collected = weakref.ref(loop)
    del loop, future
    assert support.until(lambda: gc.collect() >= 0 and collected() is None)


# Deliveries racing the loop's close and the interpreter's finalization must not end the process;
# an exit handler registered before the import runs after the binding closed its asyncio calls.
SHUTDOWN = """
import asyncio, atexit, sys
sys.path.insert(0, sys.argv[1])
import support
atexit.register(lambda: print(asyncio.run(support.outcome(support.failing_call))))
from mistgrove import Session

async def main():
    with support.silent_endpoint() as endpoint:
        futures = [Session.create_async(endpoint, timeout_ms=t) for t in range(1, 300)]
        await asyncio.wait(futures, timeout=30, return_when=asyncio.FIRST_COMPLETED)

asyncio.run(main())
"""


def test_calls_ending_during_interpreter_shutdown():
    for _ in range(8):
        assert run(SHUTDOWN) == ["RuntimeError cannot schedule new futures after interpreter shutdown"]


# Exit handlers registered after the import, before the process's first asyncio call, run while the
# binding still delivers: one making that call, one awaiting a call that is still running at exit.
EXIT_HANDLER = """
import asyncio, atexit, sys
sys.path.insert(0, sys.argv[1])
import support
from mistgrove import Session
if sys.argv[2] == "makes":
    atexit.register(lambda: print(asyncio.run(support.outcome(support.failing_call))))
else:
    loop, listening = asyncio.new_event_loop(), support.silent_endpoint()  # open until the exit
    atexit.register(lambda: print(loop.run_until_complete(support.outcome(lambda: pending))))
    start = lambda: Session.create_async(listening.__enter__(), timeout_ms=500)
    pending = loop.run_until_complete(support.begin(start))
"""


@pytest.mark.parametrize("handler, printed", [
    ("makes", FAILED), ("awaits", "RuntimeError Resource temporarily unavailable (os error 11)")])
def test_calls_of_exit_handlers(handler, printed):
    assert run(EXIT_HANDLER, handler) == [printed]


# A child forked after the executor's threads started, or while a delivery waits inside the gate
# for the interpreter lock, starts afresh: its calls complete and it exits.
FORK = """
import asyncio, multiprocessing, os, sys, time
sys.path.insert(0, sys.argv[1])
import support

def call():
    return asyncio.run(support.outcome(support.failing_call))

def reap(pid):  # a child still running after 20 s is killed
    ceiling = time.monotonic() + 20
    while not os.waitpid(pid, os.WNOHANG)[0]:
        if time.monotonic() > ceiling:
            os.kill(pid, 9)
            return "hung"
        time.sleep(0.01)
    return "exited"

print(call(), flush=True)
if sys.argv[2] == "pool":
    with multiprocessing.get_context("fork").Pool(1) as pool:
        print(pool.apply(call))
elif sys.argv[2] == "fork":
    pid = os.fork()
    if pid == 0:
        print(call(), flush=True)
        sys.exit()
    print(reap(pid))
else:
    future = asyncio.new_event_loop().run_until_complete(support.begin(support.failing_call))
    sys.setswitchinterval(1000)  # this thread keeps the interpreter lock until it blocks
    spin = time.monotonic() + 0.5  # the outcome's delivery enters the gate meanwhile
    while time.monotonic() < spin:
        pass
    pid = os.fork()
    if pid == 0:
        sys.exit()
    print(reap(pid))
"""


@pytest.mark.parametrize("how, printed", [
    ("pool", [FAILED, FAILED]), ("fork", [FAILED, FAILED, "exited"]), ("in the gate", [FAILED, "exited"])])
def test_forked_children_start_afresh(how, printed):
    assert run(FORK, how) == printed


# A subinterpreter may not load the module, and its end leaves the main interpreter's calls working.
SUBINTERPRETER = """
import asyncio, sys
sys.path.insert(0, {dir!r})
import support
print(asyncio.run(support.outcome(support.failing_call)), flush=True)
"""


def test_subinterpreters_are_refused():
    pytest.importorskip("_testcapi")
    sub = SUBINTERPRETER.format(dir=os.path.dirname(__file__))
    assert run(f"import _testcapi\n{sub}\n_testcapi.run_in_subinterp({sub!r})\n{sub}") == [
        FAILED, "ImportError module mistgrove._native does not support loading in subinterpreters",
        FAILED]
