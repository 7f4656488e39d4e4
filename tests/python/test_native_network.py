"""Session against the private Tor network: blocking and asyncio calls return
the onion service's bytes, concurrent calls from threads and event loops get
their own results, the interpreter lock stays free while calls wait, and a
session outlives its Python object while a call of it still runs."""

import asyncio
import gc
import hashlib
import logging
import sys
import time

import pytest

import support
from mistgrove import Session


@pytest.fixture(scope="module")
def net(testnet):
    with open(testnet["page_response_path"], "rb") as f:
        page = f.read()
    return dict(testnet, page=page, onion=testnet["onion_address"],
                http=testnet["onion_http_port"], echo=testnet["onion_echo_port"])


def new_session(net):
    return Session(net["authority_dirports"][0], net["consensus_file"])


@pytest.fixture(scope="module")
def session(net):
    return new_session(net)


def head_and_body(response):
    head, _, body = response.partition(b"\r\n\r\n")
    return head, body


@pytest.mark.parametrize("call", [
    lambda s, n: s.http_get(n["onion"]),
    lambda s, n: s.http_get(n["onion"].upper(), 80, ""),
    lambda s, n: s.http_get(n["onion"].removesuffix(".onion"), path="/", response_limit=len(n["page"])),
    lambda s, n: s.request(n["onion"], n["http"], b"GET / HTTP/1.0\r\n\r\n"),
    lambda s, n: s.request(n["onion"], n["http"], list(b"GET / HTTP/1.0\r\n\r\n")),
])
def test_blocking_calls_return_the_page(session, net, call):
    assert call(session, net) == net["page"]


def test_a_response_over_the_limit_fails(session, net):
    with pytest.raises(RuntimeError) as caught:
        session.http_get(net["onion"], response_limit=len(net["page"]) - 1)
    assert caught.value.args == ("stream response too large",)


def test_the_status_line_comes_back_whatever_the_status(session, net):
    head, _ = head_and_body(session.http_get(net["onion"], path="missing"))
    assert head.startswith(b"HTTP/1.0 404 ")


def test_a_file_of_a_few_mib(session, net):
    _, body = head_and_body(session.http_get(net["onion"], path="/big.bin"))
    assert len(body) == net["big_length"]
    assert hashlib.sha256(body).hexdigest() == net["big_sha256"]


ECHOED = [b"", b"x", bytes(range(256)) * 2, bytearray(b"GET"), [71, 69, 84], (0, 255)]


def test_echo_from_several_threads(session, net):
    results = {}

    def run(item):
        i, payload = item
        results[i] = session.request(net["onion"], net["echo"], payload)

    support.in_threads(run, enumerate(ECHOED))
    assert [results[i] for i in range(len(ECHOED))] == [bytes(p) for p in ECHOED]


def test_asyncio_calls_give_what_the_blocking_ones_give(net):
    async def main():
        session = await Session.create_async(net["authority_dirports"][0], net["consensus_file"])
        assert type(session) is Session
        page = await session.http_get_async(net["onion"])
        raw = await session.request_async(net["onion"], net["http"], b"GET / HTTP/1.0\r\n\r\n")
        echoed = await asyncio.gather(
            *(session.request_async(net["onion"], net["echo"], p) for p in ECHOED))
        return page, raw, echoed

    page, raw, echoed = asyncio.run(main())
    assert page == raw == net["page"]
    assert echoed == [bytes(p) for p in ECHOED]


def test_twenty_concurrent_calls_while_the_loop_stays_responsive(session, net):
    async def main():
        ticks = []
        done = asyncio.Event()

        async def ticker():
            while not done.is_set():
                ticks.append(time.monotonic())
                await asyncio.sleep(0.01)

        task = asyncio.create_task(ticker())
        results = await asyncio.gather(*(session.http_get_async(net["onion"]) for _ in range(20)))
        done.set()
        await task
        return results, ticks

    results, ticks = asyncio.run(main())
    assert results == [net["page"]] * 20
    gaps = sorted(b - a for a, b in zip(ticks, ticks[1:]))
    # Calls that blocked the loop would stop it for a whole request each, so
    # for seconds; the margin is for a loaded machine.
    assert gaps[len(gaps) // 2] < 0.02
    assert gaps[-1] < 1.0


def test_two_event_loops_in_two_threads(session, net):
    results = {}

    def run(name):
        async def main():
            payloads = [f"{name}{i}".encode() for i in range(3)]
            echoed = await asyncio.gather(
                *(session.request_async(net["onion"], net["echo"], p) for p in payloads))
            return echoed == payloads

        results[name] = asyncio.run(main())

    support.in_threads(run, ["left", "right"])
    assert results == {"left": True, "right": True}


def test_the_interpreter_lock_is_free_while_a_request_waits(session, net):
    with support.Ticker() as ticker:
        # The echo service answers only after its idle close, seconds later.
        assert session.request(net["onion"], net["echo"], b"wait") == b"wait"
    assert ticker.ticks >= 200 * ticker.elapsed


def test_a_session_outlives_its_object_while_its_call_runs(net):
    async def main():
        session = new_session(net)
        future = session.request_async(net["onion"], net["echo"], b"still here")
        # Only this frame refers to the object: deleting the name frees it.
        assert sys.getrefcount(session) == 2
        del session
        gc.collect()
        return await future

    assert asyncio.run(main()) == b"still here"


def test_a_timed_out_wait_leaves_no_trace(session, net, capfd, caplog):
    reported = []

    async def main():
        asyncio.get_running_loop().set_exception_handler(lambda loop, ctx: reported.append(ctx))
        with pytest.raises(asyncio.TimeoutError):
            await asyncio.wait_for(session.http_get_async(net["onion"]), 0.01)
        # The core call goes on to its end; its result is dropped.
        await asyncio.sleep(5)
        gc.collect()
        return await session.http_get_async(net["onion"])

    with caplog.at_level(logging.DEBUG, logger="asyncio"):
        assert asyncio.run(main()) == net["page"]
    assert reported == []
    assert [r for r in caplog.records if r.levelno >= logging.WARNING] == []
    assert capfd.readouterr().err == ""


def test_successful_calls_do_not_leak(session, net):
    onion = net["onion"]

    def usage():
        gc.collect()
        return sys.getrefcount(session), sys.getrefcount(onion), sys.getallocatedblocks()

    async def calls(count):
        for _ in range(count):
            assert await session.http_get_async(onion) == net["page"]
            assert session.http_get(onion) == net["page"]
        await asyncio.sleep(0.05)

    asyncio.run(calls(3))
    before = usage()
    asyncio.run(calls(20))
    after = usage()
    assert after[:2] == before[:2]
    assert after[2] - before[2] < 20
