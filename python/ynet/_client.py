"""Client: one connection of the library, and what keeps the process safe
while the library's threads call into Python.

Lifetime rules (the library calls back on its own receive threads):
- A client's callback thunks, and everything they reach, belong to its
  _Core, which stays in _cores from ynet_client_new until
  ynet_client_destroy has returned (destroy waits for the receive thread):
  no thunk is freed while a thread can call it.
- The Client object itself is only weakly referenced from there. Dropped
  without close(), it is closed by its finalizer; a finalizer that runs on a
  receive thread (which cannot wait for itself, nor safely for another)
  only cuts the connection and leaves the destroy to the next owner-side
  call (a new Client, a close) or to the exit hook.
- At interpreter exit, before anything is torn down, the exit hook closes
  every client still open, then restores the default log sink: no thread of
  the library calls into Python after that.
- Every library call with a handle is counted while it is under way
  (_Core.call), from whichever thread it comes. Destroying a client while
  another thread is inside a call with its handle would free what that call
  uses; so close() first marks the client closing (calls that begin after
  that raise E_STATE), ends the calls under way that can block
  (ynet_client_release ends a connect, a reconnect, a send on a full buffer
  and the wait of wait_release), waits until every counted call has left,
  and only then destroys the client. A close() made inside a call of the
  same client on the same thread (its "connected" event comes inside
  connect) cannot wait for that call: it is refused.
"""
from __future__ import annotations

import atexit
import collections
import ctypes
import threading
import weakref
from typing import Any, Callable, Deque, List, NamedTuple, Optional, Set, Union

from ._native import (E_ARG, E_STATE, Callbacks, EventFn, LogFn, MessageFn, NotifyFn, Options, YNetError, check,
                      lib, text_arg)

REQUEST, RESPOND, ORDINAL = 1, 2, 4
SOCKS4, SOCKS5 = 1, 2
MAX_BODY = 1436
_EVENTS = {1: "connected", 2: "thread started", 3: "thread ended"}
_get_ident = threading.get_ident

# A receive thread keeps one Python thread state from its start to its end.
# Without that, every callback would make one and delete it again, which
# here took about 170 us a message against 4 us (CPython only).
try:
    _hold_state, _drop_state = ctypes.pythonapi.PyGILState_Ensure, ctypes.pythonapi.PyGILState_Release
    _hold_state.restype, _drop_state.argtypes = ctypes.c_int, [ctypes.c_int]
except AttributeError:
    _hold_state = _drop_state = None


class Message(NamedTuple):
    """One received message: its head's fields and its unscrambled body."""
    main_id: int
    assistant_id: int
    flags: int
    body: bytes


MessageCallback = Callable[["Client", int, int, int, bytes], Any]
EventCallback = Callable[["Client", str], Any]
Body = Union[bytes, bytearray, memoryview]


class _Inbox:
    """Messages a receive thread hands over to recv() or to an asyncio
    consumer, in order; None follows the last message of a receive thread,
    and comes again while no receive thread runs (or the client is closed).

    Bounded: while `limit` messages wait, the receive thread waits too (its
    connection stops reading, and TCP holds the peer back) until one is taken
    or the inbox is closed. Memory stays bounded however slow the consumer."""

    def __init__(self, limit: int) -> None:
        if limit < 1:
            raise YNetError(E_ARG, f"Client: queue_size {limit} is less than 1")
        lock = threading.Lock()
        self._limit, self._closed, self._ended = limit, False, False
        self._items: Deque[Optional[Message]] = collections.deque()
        self._added, self._taken = threading.Condition(lock), threading.Condition(lock)
        self._sleeper: Optional[Callable[[], None]] = None  # an asyncio consumer's wake-up, while it waits

    def put(self, item: Optional[Message]) -> bool:
        """Receive thread; False when the inbox is closed (the connection is to be cut)."""
        with self._added:
            while item is not None and len(self._items) >= self._limit and not self._closed:
                self._taken.wait()
            if self._closed and item is not None:
                return False
            self._items.append(item)
            self._ended = item is None
            self._added.notify()
            wake, self._sleeper = self._sleeper, None
        if wake is not None:
            wake()
        return True

    def begin(self) -> None:
        """Connecting thread, once connected: a receive thread runs again,
        so that get() waits for its messages (the last one's None was taken)."""
        with self._added:
            self._ended = False

    def close(self) -> None:
        """Frees a receive thread held by a full inbox, for good."""
        with self._added:
            self._closed = True
            self._taken.notify_all()

    def _ready(self) -> bool:
        return bool(self._items) or self._ended or self._closed

    def _take(self) -> Optional[Message]:
        if not self._items:
            return None  # ended
        self._taken.notify()
        return self._items.popleft()

    def get(self, timeout: Optional[float]) -> Optional[Message]:
        with self._added:
            if not self._added.wait_for(self._ready, timeout):
                raise TimeoutError("recv: no message within the timeout")
            return self._take()

    def take_or_sleep(self, wake: Callable[[], None]) -> tuple:
        """(True, item) when one is ready; else (False, None), and wake() is
        called (from the receive thread) when the next one comes."""
        with self._added:
            if self._ready():
                return True, self._take()
            self._sleeper = wake
            return False, None


# Every core not yet destroyed, the cores dropped on a receive thread (to be
# destroyed from another one), and the receive threads running now.
_lock = threading.RLock()  # a finalizer may run while its thread holds it
_cores: Set["_Core"] = set()
_deferred: List["_Core"] = []
_receiving: Set[int] = set()
_exiting = False


class _Core:
    """The handle and everything the library's callbacks reach (see above)."""

    def __init__(self, owner: "weakref.ref[Client]", on_message: Optional[MessageCallback],
                 on_event: Optional[EventCallback], inbox: Optional[_Inbox]) -> None:
        self.owner, self.on_message, self.on_event, self.inbox = owner, on_message, on_event, inbox
        self.error: Optional[BaseException] = None
        self.receive_thread = 0
        self.connecting_thread = 0  # inside "connected", which the receive thread waits for
        self.thread_state: Optional[int] = None
        self.lock = threading.Lock()  # one destroy at a time
        self.guard = threading.Lock()  # callers and closing
        self.callers: List[int] = []  # the thread of each library call under way with the handle
        self.closing = False
        self.left = threading.Event()  # set when the last call leaves a closing client
        self.callbacks = Callbacks(ctypes.sizeof(Callbacks), None,
                                   MessageFn(self._message if inbox is None else self._queue),
                                   EventFn(self._cut), EventFn(self._thread_begin), EventFn(self._thread_end),
                                   NotifyFn(self._notify), None, 0)
        handle = ctypes.c_void_p()
        check(lib.ynet_client_new(ctypes.byref(self.callbacks), ctypes.byref(handle)))
        self.handle: Optional[int] = handle.value

    # The callbacks, on the receive thread. Nothing may raise into the library.
    def _message(self, _user: Any, _client: Any, main_id: int, assistant_id: int, flags: int, body: Optional[int],
                 length: int) -> int:
        owner = self.owner()
        if owner is None or _exiting:
            return 1
        try:
            return 1 if self.on_message(owner, main_id, assistant_id, flags,  # type: ignore[misc]
                                        ctypes.string_at(body, length) if length else b"") else 0
        except BaseException as error:  # cut instead
            self.error = error
            return 1

    def _queue(self, _user: Any, _client: Any, main_id: int, assistant_id: int, flags: int, body: Optional[int],
               length: int) -> int:
        try:
            message = Message(main_id, assistant_id, flags, ctypes.string_at(body, length) if length else b"")
            return 0 if self.inbox.put(message) else 1  # type: ignore[union-attr]
        except BaseException as error:
            self.error = error
            return 1

    def _event(self, what: str) -> None:
        owner = self.owner()
        if self.on_event is not None and owner is not None:
            try:
                self.on_event(owner, what)
            except BaseException as error:
                self.error = error

    def _cut(self, _user: Any, _client: Any) -> None:
        self._event("cut")

    def _notify(self, _user: Any, _client: Any, what: int) -> None:
        # "thread started" is the receive thread's first callback (before
        # on_thread_begin), "thread ended" its last (after on_thread_end):
        # the thread is known as the receive thread from the one to the other,
        # so that what would wait for it is refused there too.
        if what == 2:
            self.receive_thread = _get_ident()
            _receiving.add(self.receive_thread)
        if what != 1:
            self._event(_EVENTS.get(what, str(what)))
            if what == 3:
                _receiving.discard(self.receive_thread)
                self.receive_thread = 0  # the ident may go to another thread next
            return
        self.connecting_thread = _get_ident()
        if self.inbox is not None:
            self.inbox.begin()  # before the new receive thread's first message
        try:
            self._event("connected")
        finally:
            self.connecting_thread = 0

    def _thread_begin(self, _user: Any, _client: Any) -> None:
        if _hold_state is not None:
            self.thread_state = _hold_state()

    def _thread_end(self, _user: Any, _client: Any) -> None:
        try:
            if self.inbox is not None:
                self.inbox.put(None)
        except BaseException as error:  # an asyncio consumer's loop already closed
            self.error = error
        if self.thread_state is not None:
            _drop_state(self.thread_state)  # the thread state goes when this callback returns
            self.thread_state = None

    # Any thread: the calls with the handle.
    def call(self, operation: Optional[str], function: Callable[..., int], *args: Any) -> Optional[int]:
        """function(handle, *args), counted while it runs. Once the client is
        closing: YNetError E_STATE, or None when operation is None (a call
        that is a no-op on a closed client)."""
        ident = _get_ident()
        with self.guard:
            if self.closing:
                if operation is None:
                    return None
                raise YNetError(E_STATE, f"{operation}: the client is closed")
            self.callers.append(ident)
            handle = self.handle
        try:
            result = function(handle, *args)
        finally:
            with self.guard:
                self.callers.remove(ident)
                if self.closing and not self.callers:
                    self.left.set()
        return check(result)  # the error text is the calling thread's

    def cut(self) -> None:
        """Releases the connection without waiting; nothing once the client
        is closing (its close() releases it)."""
        self.call(None, lib.ynet_client_release)

    # The owner's side.
    def destroy(self) -> None:
        ident = _get_ident()
        if ident in (self.receive_thread, self.connecting_thread):
            # Refused (it would wait for that receive thread), as a counted
            # call: a close under way on another thread waits until it left.
            self.call("close", lib.ynet_client_destroy)
        with self.guard:
            if ident in self.callers:
                raise YNetError(E_STATE, "close: not allowed inside another call of this client on the same thread "
                                "(its \"connected\" event comes inside connect): it would wait for that call")
            self.closing = True
        with self.lock:
            if self.handle is None:
                return
            if self.inbox is not None:
                self.inbox.close()
            self.end_calls()
            check(lib.ynet_client_destroy(self.handle))
            self.handle = None
        with _lock:
            _cores.discard(self)

    def end_calls(self) -> None:
        """Closing, under self.lock: ends the calls under way and waits until
        every one has left. A release that comes before a connect has made its
        socket ends nothing, so it is repeated while calls remain."""
        while True:
            with self.guard:
                if not self.callers:
                    return
                self.left.clear()
            lib.ynet_client_release(self.handle)
            self.left.wait(0.05)

    def abandon(self) -> None:
        """On a receive thread: cut the connection, and leave the destroy to another thread."""
        if self.inbox is not None:
            self.inbox.close()
        self.cut()
        with _lock:
            _deferred.append(self)


def _drop(core: _Core) -> None:
    """The finalizer of a Client dropped without close()."""
    if _get_ident() in _receiving:
        core.abandon()
        return
    try:
        core.destroy()
    except YNetError:
        pass


def _reap() -> None:
    """Destroys the cores dropped on receive threads, when not on one."""
    if not _deferred or _get_ident() in _receiving:
        return
    with _lock:
        cores = list(_deferred)
        del _deferred[:]
    for core in cores:
        core.destroy()


class Client:
    """One connection to a server, directly or through a SOCKS proxy.

    With on_message(client, main_id, assistant_id, flags, body), each message
    goes to that callback on the receive thread; a true result cuts the
    connection. Without it, messages wait in a queue of queue_size for
    recv(); when it is full the receive thread waits (back-pressure).
    on_event(client, what), what one of "connected", "thread started",
    "cut", "thread ended", runs on the receive thread ("connected" on the
    connecting one, while the receive thread waits for it). A callback that
    raises cuts the connection; the exception is kept in callback_error.

    Failures raise YNetError with the library's code and text. close() (or
    leaving a `with` block) ends the connection, waits for the receive thread
    and frees the client; it, wait_release(), connect() and reconnect() raise
    E_STATE from the client's own callbacks, "connected" included (release()
    or a true result cut from there). Any thread may call while another
    closes: close() ends a call under way (a connect too) and waits for it to
    leave; a call begun after close() raises YNetError E_STATE (connected is
    False, recv() gives None)."""

    def __init__(self, on_message: Optional[MessageCallback] = None, on_event: Optional[EventCallback] = None, *,
                 queue_size: int = 1024) -> None:
        _reap()
        inbox = None if on_message is not None else _Inbox(queue_size)
        with _lock:
            if _exiting:
                raise YNetError(E_STATE, "Client: the interpreter is exiting")
            self._core = _Core(weakref.ref(self), on_message, on_event, inbox)
            _cores.add(self._core)
        weakref.finalize(self, _drop, self._core).atexit = False  # the exit hook closes it

    def connect(self, server: str, proxy: Optional[str] = None, proxy_type: int = SOCKS5, user: Optional[str] = None,
                password: Optional[str] = None, timeout: Optional[float] = None) -> None:
        """Connects to server ("host:port", "a.b.c.d:port" or "[IPv6]:port"),
        directly or through proxy, and starts the receive thread; timeout
        (seconds) bounds the whole attempt.

        proxy is a URL as curl reads it: socks4://, socks4a://, socks5://,
        socks5h:// or http://[USER[:PASSWORD]@]HOST[:PORT], the name
        resolved by the proxy for socks4a, socks5h and http. The older form,
        a proxy "a.b.c.d:port" with proxy_type (SOCKS5 or SOCKS4), user and
        password, still works for an "a.b.c.d:port" server. On a connected
        client: YNetError E_STATE ("already connected")."""
        if timeout is not None and not 0 <= timeout * 1000 < 2**32:
            raise YNetError(E_ARG, f"connect: timeout {timeout} is not within 0 to {(2**32 - 1) / 1000} seconds")
        timeout_ms = round((timeout or 0) * 1000)
        if self.connected:  # a new connection would replace this one, and its messages still to come
            raise YNetError(E_STATE, "connect: already connected: release() or wait_release() first")
        if proxy is None or "://" in proxy:
            if user is not None or password is not None:
                raise YNetError(E_ARG, "connect: with a proxy URL the user and password belong in the URL")
            self._core.call("connect", lib.ynet_client_connect_url, text_arg("connect", "server", server),
                            text_arg("connect", "proxy", proxy), timeout_ms)
            return
        options = Options(ctypes.sizeof(Options), proxy_type, text_arg("connect", "proxy", proxy),
                          text_arg("connect", "user", user), text_arg("connect", "password", password), timeout_ms)
        self._core.call("connect", lib.ynet_client_connect, text_arg("connect", "server", server),
                        ctypes.byref(options))

    def set_nodelay(self, on: bool) -> None:
        """TCP_NODELAY (default True) for the connections made after the call."""
        self._core.call("set_nodelay", lib.ynet_client_set_nodelay, 1 if on else 0)

    def set_keepalive(self, idle: float, interval: float = 10.0, count: int = 6) -> None:
        """TCP keepalive (seconds; idle 0 turns it off) for the connections made
        after the call: count unanswered probes cut the connection. Default:
        60 s idle, a probe every 10 s, 6 probes."""
        for name, value in (("idle", idle), ("interval", interval)):
            if not 0 <= value * 1000 < 2**32:
                raise YNetError(E_ARG, f"set_keepalive: {name} {value} is not within 0 to {(2**32 - 1) / 1000} seconds")
        self._core.call("set_keepalive", lib.ynet_client_set_keepalive, round(idle * 1000), round(interval * 1000),
                        count)

    def reconnect(self) -> None:
        """A new connection to the same server (and proxy), replacing the one held;
        after a cut (disconnect, release, the peer) YNetError E_STATE: connect again."""
        self._core.call("reconnect", lib.ynet_client_reconnect)

    def send(self, main_id: int, assistant_id: int, body: Body = b"", flags: int = REQUEST) -> None:
        """Sends one message (body at most 1436 bytes); any thread."""
        if type(body) is not bytes:
            body = bytes(body)
        self._core.call("send", lib.ynet_client_send, main_id, assistant_id, flags, body, len(body))

    def recv(self, timeout: Optional[float] = None) -> Optional[Message]:
        """The next message; None once the receive thread has ended (the
        connection was cut) and every message before was taken. Raises
        TimeoutError when none comes within timeout seconds."""
        if self._core.inbox is None:
            raise YNetError(E_STATE, "recv: this client hands its messages to its on_message callback")
        return self._core.inbox.get(timeout)

    @property
    def connected(self) -> bool:
        """True while the connection is open; False after a cut and after close()."""
        return self._core.call(None, lib.ynet_client_is_connected) == 1

    @property
    def callback_error(self) -> Optional[BaseException]:
        """The exception the last failing callback raised, or None."""
        return self._core.error

    def disconnect(self) -> None:
        """Abortive close: the receive thread sees the connection cut and ends."""
        self._core.call("disconnect", lib.ynet_client_disconnect)

    def release(self) -> None:
        """Closes and asks the receive thread to end, without waiting (allowed in callbacks)."""
        self._core.call("release", lib.ynet_client_release)

    def wait_release(self) -> None:
        """Closes gracefully and waits for the receive thread to end."""
        self._core.call("wait_release", lib.ynet_client_wait_release)

    def close(self) -> None:
        """Ends the connection and the calls under way on other threads (a
        connect included), waits for them and for the receive thread, and
        frees the client; again: nothing. Calls begun after it raise E_STATE."""
        self._core.destroy()
        _reap()

    def __enter__(self) -> "Client":
        return self

    def __exit__(self, *_: Any) -> None:
        self.close()


_log: Optional[Any] = None  # the thunk the library holds


def set_log_sink(sink: Optional[Callable[[str], Any]]) -> None:
    """Sends the library's log lines (any thread) to sink(line); None: stderr again."""
    global _log

    def forward(_user: Any, line: bytes) -> None:
        try:
            sink(line.decode("utf-8", "replace"))  # type: ignore[misc]
        except BaseException:
            pass  # a log line is not worth a crash

    thunk = LogFn(forward) if sink is not None else LogFn()
    with _lock:
        check(lib.ynet_set_log_sink(thunk, None))
        _log = thunk if sink is not None else None  # the old thunk is called no more once the call returns


def _at_exit() -> None:
    global _exiting
    with _lock:
        _exiting = True
        cores = list(_cores)
    for core in cores:  # first every connection cut, so that no traffic slows the waits
        core.cut()
    for core in cores:
        try:
            core.destroy()
        except YNetError:
            pass
    if _log is not None:
        set_log_sink(None)
    lib.ynet_stack_stop()


check(lib.ynet_stack_start())  # once for the process; stopped at exit once every client is gone
atexit.register(_at_exit)
