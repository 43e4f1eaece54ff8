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
import collections.abc
import contextlib
import threading
from typing import Any, Coroutine, Generator, List, Optional

from ._client import REQUEST, SOCKS5, Body, Client, Message
from ._native import YNetError


class Connection:
    """An open connection on an event loop. Iterating gives each message
    until the connection is cut. close() (or leaving `async with`, by
    cancellation too) ends it; a cancelled recv() leaves it open."""

    def __init__(self, client: Client, loop: asyncio.AbstractEventLoop) -> None:
        self.client, self._loop = client, loop
        self._inbox = client._core.inbox
        # Every recv() asleep: a wake-up wakes them all, and each takes a
        # message or sleeps again.
        self._waiters: List[asyncio.Future] = []
        self._wake_from_thread = lambda: loop.call_soon_threadsafe(self._wake)

    def _wake(self) -> None:
        waiters, self._waiters = self._waiters, []
        for waiter in waiters:
            if not waiter.done():
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
            waiter = self._loop.create_future()
            self._waiters.append(waiter)
            try:
                await waiter
            finally:
                if waiter in self._waiters:  # cancelled while asleep
                    self._waiters.remove(waiter)

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


class _Connecting(collections.abc.Coroutine):
    """What connect() returns: a coroutine (await it, or hand it to
    create_task), and an async context manager."""

    def __init__(self, args: dict, queue_size: int) -> None:
        self._args, self._queue_size = args, queue_size
        self._connection: Optional[Connection] = None
        self._opening: Optional[Coroutine[Any, Any, Connection]] = None

    def _coroutine(self) -> Coroutine[Any, Any, Connection]:
        if self._opening is None:  # made on first use: an `async with` never makes it
            self._opening = self._open()
        return self._opening

    def __await__(self) -> Generator[Any, None, Connection]:
        return self._coroutine().__await__()

    def send(self, value: Any) -> Any:
        return self._coroutine().send(value)

    def throw(self, *args: Any) -> Any:
        return self._coroutine().throw(*args)

    def close(self) -> None:
        if self._opening is not None:
            self._opening.close()

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
        # meanwhile, the connect is ended and the client closed once the
        # connect has returned (a close on the loop would hold it until the
        # connect had left).
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
            else:
                # Ends the library's connect at once (an ending call from
                # another thread), so the executor's thread, and with it
                # asyncio.run, does not wait for a silent peer; work() then
                # closes the client.
                with contextlib.suppress(YNetError):
                    client.release()
            raise
        return Connection(client, loop)


def connect(server: str, proxy: Optional[str] = None, proxy_type: int = SOCKS5, user: Optional[str] = None,
            password: Optional[str] = None, timeout: Optional[float] = None, *, queue_size: int = 256) -> _Connecting:
    """Connects (as Client.connect) without blocking the loop:
    `async with ynet.connect(...) as conn` or `conn = await ynet.connect(...)`.
    Cancelled before it is connected, the client is closed."""
    return _Connecting(dict(server=server, proxy=proxy, proxy_type=proxy_type, user=user, password=password,
                            timeout=timeout), queue_size)
