"""Asyncio calls abandoned by a time-out, under a closed loop, or at interpreter shutdown."""

import asyncio
import gc
import logging
import os
import subprocess
import sys
import time

import pytest

import support
from mistgrove import Session


def test_wait_for_time_out_drops_the_late_outcome_silently(session, capfd, caplog):
    reported = []

    async def main():
        asyncio.get_running_loop().set_exception_handler(lambda loop, ctx: reported.append(ctx))
        with support.silent_endpoint() as endpoint:
            with pytest.raises(asyncio.TimeoutError):
                await asyncio.wait_for(Session.create_async(endpoint, timeout_ms=300), 0.01)
            await asyncio.sleep(0.8)  # the core job has failed meanwhile
        gc.collect()
        await asyncio.sleep(0)
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
    with support.silent_endpoint() as endpoint:
        async def start():
            return Session.create_async(endpoint, timeout_ms=300)

        future = loop.run_until_complete(start())
        loop.close()
        time.sleep(0.8)
    assert not future.done()
    err = capfd.readouterr().err
    assert err.startswith("Traceback (most recent call last):")
    assert err.endswith("RuntimeError: Event loop is closed\n")


# Deliveries racing the loop's close and the interpreter's finalization must not end the process;
# an exit handler that runs after the binding closed its asyncio calls is refused one.
SHUTDOWN = """
import asyncio, atexit, sys
sys.path.insert(0, sys.argv[1])
import support
from mistgrove import Session

async def late():
    try:
        await Session.create_async()
    except RuntimeError as e:
        print(e)

atexit.register(asyncio.run, late())

async def main():
    with support.silent_endpoint() as endpoint:
        futures = [Session.create_async(endpoint, timeout_ms=t) for t in range(1, 300)]
        await asyncio.sleep(0.15)

asyncio.run(main())
"""


def test_calls_ending_during_interpreter_shutdown():
    for _ in range(8):
        done = subprocess.run([sys.executable, "-c", SHUTDOWN, os.path.dirname(__file__)],
                              capture_output=True, text=True, timeout=60)
        assert done.returncode == 0, done.stderr[-2000:]
        assert done.stdout == "cannot schedule new futures after interpreter shutdown\n"
