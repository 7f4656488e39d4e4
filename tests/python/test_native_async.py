"""The asyncio members without a Tor network: futures of the running loop,
outcomes delivered on the loop's thread, cancellation, a closed loop, and the
background executor's threads."""

import asyncio
import gc
import logging
import os
import subprocess
import sys
import threading
import time

import pytest

import support
from mistgrove import Session

ONION = support.ONION
NO_SRV = "consensus has no shared-rand values"


@pytest.fixture(scope="module")
def session(tmp_path_factory):
    return support.session(tmp_path_factory.mktemp("async"))


@pytest.mark.parametrize("call", [
    lambda s: Session.create_async(),
    lambda s: s.create_async(support.REFUSED),
    lambda s: s.request_async(ONION, 1),
    lambda s: s.http_get_async(ONION),
])
def test_without_a_running_loop_the_call_raises_at_once(session, call):
    with pytest.raises(RuntimeError, match="^no running event loop$"):
        call(session)


def test_arguments_are_converted_before_the_loop_is_looked_up():
    with pytest.raises(TypeError, match="^argument 'verbose': 'int' object is not an instance of 'bool'$"):
        Session.create_async(verbose=1)


@pytest.mark.parametrize("call, message", [
    (lambda s: Session.create_async(support.REFUSED, "missing.txt"), "failed to open missing.txt"),
    (lambda s: Session.create_async("127.0.0.1"), "missing port"),
    (lambda s: s.request_async("x", 1), "v3 onion address must have 56 base32 characters"),
    (lambda s: s.request_async(ONION, 1, [71, 69, 84]), NO_SRV),
    (lambda s: s.http_get_async(ONION, path="index.html"), NO_SRV),
])
def test_core_failures_arrive_through_the_future(session, tmp_path, monkeypatch, call, message):
    monkeypatch.chdir(tmp_path)

    async def main():
        future = call(session)
        assert asyncio.isfuture(future) and not future.done()
        assert future.get_loop() is asyncio.get_running_loop()
        with pytest.raises(RuntimeError) as caught:
            await future
        assert type(caught.value) is RuntimeError and caught.value.args == (message,)

    asyncio.run(main())


def test_create_async_gives_a_usable_session(tmp_path):
    async def main():
        created = await Session.create_async(support.REFUSED, support.consensus_file(tmp_path),
                                             1000, True)
        assert type(created) is Session
        with pytest.raises(RuntimeError, match=f"^{NO_SRV}$"):
            await created.http_get_async(ONION)

    asyncio.run(main())


def run_logging_loop_errors(main, caplog):
    """Runs main() on a new loop; returns what reached the loop's exception
    handler or asyncio's logger."""
    reported = []

    async def wrapper():
        asyncio.get_running_loop().set_exception_handler(lambda loop, ctx: reported.append(ctx))
        await main()
        gc.collect()
        await asyncio.sleep(0)

    with caplog.at_level(logging.DEBUG, logger="asyncio"):
        asyncio.run(wrapper())
    return reported + [r.getMessage() for r in caplog.records if r.levelno >= logging.WARNING]


def test_wait_for_time_out_drops_the_late_outcome_silently(capfd, caplog):
    async def main():
        with support.silent_endpoint() as (endpoint, _):
            with pytest.raises(asyncio.TimeoutError):
                await asyncio.wait_for(Session.create_async(endpoint, timeout_ms=300), 0.01)
            await asyncio.sleep(0.8)  # the core job has failed meanwhile
        # The executor still serves calls.
        with pytest.raises(RuntimeError, match="^missing port$"):
            await Session.create_async("127.0.0.1")

    assert run_logging_loop_errors(main, caplog) == []
    assert capfd.readouterr().err == ""


def test_a_future_cancelled_at_once_still_starts_the_core_job(capfd, caplog):
    async def main():
        with support.silent_endpoint() as (endpoint, listener):
            future = Session.create_async(endpoint, timeout_ms=300)
            future.cancel()
            await asyncio.sleep(0.8)
            assert future.cancelled()
            listener.setblocking(False)
            connection, _ = listener.accept()  # the core job did connect
            connection.close()

    assert run_logging_loop_errors(main, caplog) == []
    assert capfd.readouterr().err == ""


def test_a_closed_loop_leaves_the_future_pending_and_prints_its_error(capfd):
    loop = asyncio.new_event_loop()
    with support.silent_endpoint() as (endpoint, _):
        async def start():
            return Session.create_async(endpoint, timeout_ms=300)

        future = loop.run_until_complete(start())
        loop.close()
        time.sleep(0.8)
    assert not future.done()
    err = capfd.readouterr().err
    assert err.startswith("Traceback (most recent call last):")
    assert err.endswith("RuntimeError: Event loop is closed\n")


def test_loops_in_two_threads_receive_their_own_outcomes(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    outcomes = {}

    def run(name):
        async def main():
            loop_thread = threading.get_ident()
            seen = []
            for i in range(5):
                future = Session.create_async(support.REFUSED, f"{name}-{i}.txt")
                future.add_done_callback(lambda f: seen.append(threading.get_ident()))
                try:
                    await future
                except RuntimeError as e:
                    seen.append(str(e))
            return seen, loop_thread

        outcomes[name] = asyncio.run(main())

    support.in_threads(run, ["a", "b"])
    for name in ("a", "b"):
        seen, loop_thread = outcomes[name]
        assert seen == [x for i in range(5) for x in (loop_thread, f"failed to open {name}-{i}.txt")]


# Thread names of the executor: worker threads and blocking-pool threads.
EXECUTOR_THREADS = """
import asyncio, collections, os, sys, time
from mistgrove import Session

def names():
    tasks = os.listdir("/proc/self/task")
    return collections.Counter(open(f"/proc/self/task/{t}/comm").read().strip() for t in tasks)

def report():
    now = names()
    print(now["mistgrove-work"], now["mistgrove-block"] > 0, end=" ")

session = Session("127.0.0.1:1", sys.argv[1])
for onion in ("x", "6x3iq5tnf4ydb4h6je3f3mswycmup3xyyk55yhlacofqjrxuwhgd26ad"):
    try:
        session.http_get(onion)
    except RuntimeError:
        pass
try:
    Session.create_async()
except RuntimeError:
    pass
report()

async def calls(count):
    for _ in range(count):
        try:
            await session.request_async("x", 1)
        except RuntimeError:
            pass

asyncio.run(calls(1))
report()
asyncio.run(calls(20))
report()
time.sleep(10.5)  # the pool's idle keep-alive
report()
asyncio.run(calls(1))
report()
"""


def test_executor_threads_come_with_the_first_asyncio_call_and_idle_pool_threads_end(tmp_path):
    out = subprocess.run([sys.executable, "-c", EXECUTOR_THREADS, support.consensus_file(tmp_path)],
                         capture_output=True, text=True, timeout=60, check=True).stdout.split()
    workers = str(os.cpu_count())
    assert out == ["0", "False", workers, "True", workers, "True", workers, "False",
                   workers, "True"]



# In a process of its own: 512 pool threads would linger in this one.
POOL_LIMIT = """
import asyncio, os, sys, time
sys.path.insert(0, sys.argv[1])
import support
from mistgrove import Session

def pool_threads():
    names = []
    for task in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{task}/comm") as f:
                names.append(f.read().strip())
        except FileNotFoundError:  # a thread that ended meanwhile
            pass
    return names.count("mistgrove-block")

async def main():
    with support.silent_endpoint() as (endpoint, _):
        started = time.monotonic()
        futures = [Session.create_async(endpoint, timeout_ms=1000) for _ in range(600)]
        await asyncio.sleep(0.5)
        peak = pool_threads()
        outcomes = await asyncio.gather(*futures, return_exceptions=True)
        print(peak, time.monotonic() - started >= 2.0, {str(o) for o in outcomes})

asyncio.run(main())
"""


def test_the_blocking_pool_runs_at_most_512_jobs_and_queues_the_rest():
    out = subprocess.run([sys.executable, "-c", POOL_LIMIT, os.path.dirname(__file__)],
                         capture_output=True, text=True, timeout=60, check=True).stdout
    # The 88 jobs beyond the limit waited for the first ones to end.
    assert out == "512 True {'Resource temporarily unavailable (os error 11)'}\n"


# Calls end while the loop closes and the interpreter finalizes: their
# deliveries race the shutdown, which must not bring the process down.
SHUTDOWN = """
import asyncio, sys
sys.path.insert(0, sys.argv[1])
import support
from mistgrove import Session

async def main():
    with support.silent_endpoint() as (endpoint, _):
        futures = [Session.create_async(endpoint, timeout_ms=t) for t in range(1, 300)]
        await asyncio.sleep(0.15)

asyncio.run(main())
"""


def test_calls_ending_during_interpreter_shutdown():
    for _ in range(8):
        done = subprocess.run([sys.executable, "-c", SHUTDOWN, os.path.dirname(__file__)],
                              capture_output=True, text=True, timeout=60)
        assert done.returncode == 0, done.stderr[-2000:]
