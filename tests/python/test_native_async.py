"""Asyncio calls abandoned by a time-out, under a closed or abandoned loop, at interpreter shutdown,
in exit handlers, in forked children and beside subinterpreters."""

import asyncio
import gc
import io
import logging
import os
import subprocess
import sys
import time
import weakref

import pytest

import support
from mistgrove import Session

FAILED = "RuntimeError failed to open /nonexistent"  # what support.failing_call ends with


def test_wait_for_time_out_drops_the_late_outcome_silently(session, capfd, caplog):
    reported = []

    async def main():
        asyncio.get_running_loop().set_exception_handler(lambda loop, ctx: reported.append(ctx))
        with support.silent_endpoint() as endpoint:  # its close ends the call
            future = Session.create_async(endpoint)
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


def test_a_closed_or_abandoned_loop(monkeypatch):
    # Printed to a buffer of our own: reading a capture while another thread writes to it may
    # drop what that thread wrote.
    printed = io.StringIO()
    monkeypatch.setattr(sys, "stderr", printed)
    loop = asyncio.new_event_loop()
    with support.silent_endpoint() as endpoint:  # its close ends the call, after the loop's
        future = loop.run_until_complete(support.begin(lambda: Session.create_async(endpoint)))
        loop.close()  # the future stays pending and the delivery prints its error
    assert support.until(
        lambda: printed.getvalue().endswith("RuntimeError: Event loop is closed\n"))
    assert not future.done() and printed.getvalue().startswith("Traceback (most recent call last):")
    # A loop dropped unclosed is reclaimed, though the outcome's completor waits in its queue.
    loop = asyncio.new_event_loop()
    future = loop.run_until_complete(support.begin(support.failing_call))
    collected = weakref.ref(loop)
    del loop, future
    assert support.until(lambda: gc.collect() >= 0 and collected() is None)


def test_the_delivery_schedules_a_completor_with_what_it_resolves():
    scheduled = []

    class Recording(asyncio.SelectorEventLoop):
        def call_soon_threadsafe(self, *args, **kwargs):
            scheduled.append((args, kwargs))
            return super().call_soon_threadsafe(*args, **kwargs)

    loop = Recording()
    try:
        future = loop.run_until_complete(support.begin(support.failing_call))
        with pytest.raises(RuntimeError, match="^failed to open /nonexistent$"):
            loop.run_until_complete(future)
        [((completor, target, method, value), kwargs)] = scheduled
        assert (type(completor).__qualname__, target, method, type(value), kwargs) == (
            "CheckedCompletor", future, future.set_exception, RuntimeError, {"context": None})
        # The completor resolves a future unless it was cancelled meanwhile, and returns None.
        for cancelled, calls in [(False, [7]), (True, [])]:
            target, called = loop.create_future(), []
            cancelled and target.cancel()
            assert (completor(target, called.append, 7), called) == (None, calls)
    finally:
        loop.close()
    with pytest.raises(TypeError):
        completor(target, print)
    with pytest.raises(TypeError):
        type(completor)()


# Processes of their own, by case. Deliveries racing the loop's close and the interpreter's
# finalization must not end the process. Exit handlers registered before the import run after the
# binding closed its asyncio calls; those registered after it (before the first call) run while it
# still delivers. A child forked after the executor's threads started, or while a delivery waits
# inside the gate for the interpreter lock, starts afresh. A subinterpreter may not load the module,
# and its end leaves the main interpreter's calls working.
PROGRAM = """
import asyncio, atexit, multiprocessing, os, sys, time
sys.path.insert(0, sys.argv[1])
import support
case = sys.argv[2]
def call():
    print(asyncio.run(support.outcome(support.failing_call)), flush=True)

if case == "shutdown":
    atexit.register(call)
from mistgrove import Session
if case == "shutdown":
    async def main():
        with support.silent_endpoint() as endpoint:
            futures = [Session.create_async(endpoint, timeout_ms=t) for t in range(1, 300)]
            await asyncio.wait(futures, timeout=30, return_when=asyncio.FIRST_COMPLETED)
    asyncio.run(main())
elif case == "exit handler makes the first call":
    atexit.register(call)
elif case == "exit handler awaits a running call":
    loop, listening = asyncio.new_event_loop(), support.silent_endpoint()  # open until the exit
    atexit.register(lambda: print(loop.run_until_complete(support.outcome(lambda: pending))))
    start = lambda: Session.create_async(listening.__enter__(), timeout_ms=500)
    pending = loop.run_until_complete(support.begin(start))
elif case == "fork pool":
    call()
    with multiprocessing.get_context("fork").Pool(1) as pool:
        pool.apply(call)
elif case == "subinterpreter":
    call()
    import _testcapi
    _testcapi.run_in_subinterp(f"import sys; sys.path.insert(0, {sys.argv[1]!r}); import asyncio, "
                               "support; print(asyncio.run(support.outcome(support.failing_call)))")
    call()
else:
    call()
    if case == "fork in the gate":
        future = asyncio.new_event_loop().run_until_complete(support.begin(support.failing_call))
        sys.setswitchinterval(1000)  # this thread keeps the interpreter lock until it blocks
        spin = time.monotonic() + 0.5  # the outcome's delivery enters the gate meanwhile
        while time.monotonic() < spin:
            pass
    pid = os.fork()
    if pid == 0:
        case == "fork" and call()
        sys.exit()
    sys.setswitchinterval(0.005)
    waited = []  # (pid, status) once the child has ended; a hung child is killed
    if support.until(lambda: waited.append(os.waitpid(pid, os.WNOHANG)) or waited[-1][0], 20):
        print("exit", os.waitstatus_to_exitcode(waited[-1][1]))
    else:
        print("hung", os.kill(pid, 9))
"""
REFUSED = "RuntimeError cannot schedule new futures after interpreter shutdown"
NO_SUBINTERPRETERS = "does not support loading in subinterpreters"


ROWS = [
    *[("shutdown", [REFUSED])] * 8,
    ("exit handler makes the first call", [FAILED]),
    ("exit handler awaits a running call", ["RuntimeError Resource temporarily unavailable (os error 11)"]),
    ("fork pool", [FAILED, FAILED]),
    ("fork", [FAILED, FAILED, "exit 0"]),
    ("fork in the gate", [FAILED, "exit 0"]),
    ("subinterpreter", [FAILED, f"ImportError module mistgrove._native {NO_SUBINTERPRETERS}", FAILED])]


@pytest.mark.parametrize("case, printed", ROWS, ids=[case for case, _ in ROWS])
def test_processes(case, printed):
    if case == "subinterpreter":
        pytest.importorskip("_testcapi")
    done = subprocess.run([sys.executable, "-c", PROGRAM, os.path.dirname(__file__), case],
                          capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stdout.splitlines()) == (0, printed), done.stderr[-2000:]
