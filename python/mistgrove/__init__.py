"""mistgrove: fetch data from Tor v3 onion services.

    from mistgrove import Session

    session = Session()                      # loads the network's consensus
    page = session.http_get("<56 characters>.onion")
    reply = session.request("<56 characters>.onion", 7, b"ping")

Every blocking method has an asyncio twin (``create_async``, ``http_get_async``,
``request_async``) that returns a future of the running event loop.
"""

from mistgrove._native import Session

__all__ = ["Session"]
