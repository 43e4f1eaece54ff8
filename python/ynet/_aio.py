"""The asyncio interface: a Client whose messages reach an event loop.

    async with ynet.connect("127.0.0.1:7000") as conn:
        await conn.send(1, 2, b"hello")
        async for message in conn:
            ...

Messages cross from the receive thread into the client's bounded queue; the
loop is woken with call_soon_threadsafe only when its consumer sleeps, so a
busy consumer takes a burst without a wake-up per message. A slow consumer
holds the receive thread (back-pressure through TCP), never memory.
"""
from __future__ import annotations

import asyncio
import threading
from typing import Any, Generator, Optional

from ._client import REQUEST, SOCKS5, Body, Client, Message


class Connection:
    """An open connection on an event loop. Iterating gives each message
    until the connection is cut. close() (or leaving `async with`, by
    cancellation too) ends it; a cancelled recv() leaves it open."""

    def __init__(self, client: Client, loop: asyncio.AbstractEventLoop) -> None:
        self.client, self._loop = client, loop
        self._inbox = client._core.inbox
        self._waiter: Optional[asyncio.Future] = None
        self._wake_from_thread = lambda: loop.call_soon_threadsafe(self._wake)

    def _wake(self) -> None:
        waiter, self._waiter = self._waiter, None
        if waiter is not None and not waiter.done():
            waiter.set_result(None)

    async def send(self, main_id: int, assistant_id: int, body: Body = b"", flags: int = REQUEST) -> None:
        """Sends one message. The write is the library's blocking one: it
        holds the loop only while the socket's send buffer is full."""
        self.client.send(main_id, assistant_id, body, flags)

    async def recv(self) -> Optional[Message]:
        """The next message, or None once the connection was cut and every message before was taken."""
        while True:
            found, item = self._inbox.take_or_sleep(self._wake_from_thread)  # type: ignore[union-attr]
            if found:
                return item
            self._waiter = self._loop.create_future()
            await self._waiter

    def __aiter__(self) -> "Connection":
        return self

    async def __anext__(self) -> Message:
        message = await self.recv()
        if message is None:
            raise StopAsyncIteration
        return message

    @property
    def connected(self) -> bool:
        return self.client.connected

    def close(self) -> None:
        self.client.close()

    async def __aenter__(self) -> "Connection":
        return self

    async def __aexit__(self, *_: Any) -> None:
        self.close()


class _Connecting:
    """What connect() returns: awaitable, and an async context manager."""

    def __init__(self, args: dict, queue_size: int) -> None:
        self._args, self._queue_size = args, queue_size
        self._connection: Optional[Connection] = None

    def __await__(self) -> Generator[Any, None, Connection]:
        return self._open().__await__()

    async def __aenter__(self) -> Connection:
        self._connection = await self._open()
        return self._connection

    async def __aexit__(self, *_: Any) -> None:
        if self._connection is not None:
            self._connection.close()

    async def _open(self) -> Connection:
        loop = asyncio.get_running_loop()
        client = Client(queue_size=self._queue_size)
        done = loop.create_future()
        lock = threading.Lock()
        state = {"finished": False, "abandoned": False}

        def settle(error: Optional[BaseException]) -> None:
            if done.done():
                return
            if error is None:
                done.set_result(None)
            else:
                done.set_exception(error)

        # The connect blocks: it runs on the loop's executor. Cancelled
        # meanwhile, the client is closed once the connect has returned (a
        # close on the loop would hold it until the connect had left).
        def work() -> None:
            error: Optional[BaseException] = None
            try:
                client.connect(**self._args)
            except BaseException as caught:
                error = caught
            with lock:
                state["finished"] = True
                if state["abandoned"]:
                    client.close()
                    return
            try:
                loop.call_soon_threadsafe(settle, error)
            except RuntimeError:  # the loop is closed
                client.close()

        loop.run_in_executor(None, work)
        try:
            await done
        except BaseException:
            with lock:
                state["abandoned"] = True
                finished = state["finished"]
            if finished:
                client.close()
            raise
        return Connection(client, loop)


def connect(server: str, proxy: Optional[str] = None, proxy_type: int = SOCKS5, user: Optional[str] = None,
            password: Optional[str] = None, timeout: Optional[float] = None, *, queue_size: int = 256) -> _Connecting:
    """Connects (as Client.connect) without blocking the loop:
    `async with ynet.connect(...) as conn` or `conn = await ynet.connect(...)`.
    Cancelled before it is connected, the client is closed."""
    return _Connecting(dict(server=server, proxy=proxy, proxy_type=proxy_type, user=user, password=password,
                            timeout=timeout), queue_size)
