"""Against the private Tor network: results, leaks, the free interpreter lock, lifetimes."""

import asyncio
import gc
import sys
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

import support
from mistgrove import Session

GET = b"GET / HTTP/1.0\r\n\r\n"
ECHOED = [b"", b"x", bytes(range(256)) * 2, bytearray(b"GET"), [71, 69, 84], (0, 255)]


@pytest.fixture(scope="module")
def net(testnet):
    with open(testnet["page_response_path"], "rb") as f:
        return dict(testnet, page=f.read(), onion=testnet["onion_address"],
                    http=testnet["onion_http_port"], echo=testnet["onion_echo_port"])


@pytest.fixture(scope="module")
def session(net):
    return Session(net["authority_dirports"][0], net["consensus_file"])


def test_asyncio_calls_on_a_session_whose_object_is_dropped_meanwhile(net):
    async def main():
        created = await Session.create_async(net["authority_dirports"][0], net["consensus_file"])
        session = Session(net["authority_dirports"][0], net["consensus_file"])
        future = session.request_async(net["onion"], net["echo"], b"still here")
        # Only this frame refers to the object: deleting the name drops the last
        # reference, and the running call must keep what it uses alive.
        assert sys.getrefcount(session) == 2
        del session
        gc.collect()
        return [await created.http_get_async(net["onion"]), await future]

    assert asyncio.run(main()) == [net["page"], b"still here"]


def test_concurrent_calls_from_two_event_loops_that_stay_responsive(session, net):
    async def main(payloads):
        ticks = []

        async def ticker():
            while True:
                ticks.append(time.monotonic())
                await asyncio.sleep(0.01)

        task = asyncio.create_task(ticker())
        results = await asyncio.gather(
            *(session.request_async(net["onion"], net["echo"], p) for p in payloads),
            *(session.http_get_async(net["onion"]) for _ in range(10)))
        task.cancel()
        gaps = sorted(b - a for a, b in zip(ticks, ticks[1:]))
        return results, gaps[len(gaps) // 2], gaps[-1]

    halves = [ECHOED[:3], ECHOED[3:]]
    with ThreadPoolExecutor(2) as pool:
        outcomes = list(pool.map(lambda p: asyncio.run(main(p)), halves))
    for half, (results, median, longest) in zip(halves, outcomes):
        assert results == [bytes(p) for p in half] + [net["page"]] * 10
        # A call blocking the loop would stop it for seconds; the margin is for a loaded machine.
        assert median < 0.02 and longest < 1.0


def test_the_interpreter_lock_is_free_while_a_request_waits(session, net):
    with support.Ticker() as ticker:
        # The echo service answers only after its idle close, seconds later.
        assert session.request(net["onion"], net["echo"], b"wait") == b"wait"
    assert ticker.ticks >= 200 * ticker.elapsed


def test_blocking_and_asyncio_calls_return_the_page_and_do_not_leak(session, net):
    def usage():
        gc.collect()
        return sys.getrefcount(session), sys.getrefcount(net["onion"]), sys.getallocatedblocks()

    async def calls(count):
        for _ in range(count):
            assert await session.http_get_async(net["onion"]) == net["page"]
            assert session.http_get(net["onion"].upper(), 80, "", len(net["page"])) == net["page"]
            assert session.request(net["onion"], net["http"], list(GET)) == net["page"]
        return usage()

    before, after = asyncio.run(calls(3)), asyncio.run(calls(20))
    assert after[:2] == before[:2]
    assert after[2] - before[2] < 20
