"""YonderNetC from Python, over its C interface (ynet.h) with ctypes.

The library is found through the environment variable YNET_LIBRARY (the
path of libYonderNetC.so or YonderNetC.dll), else where the system finds
libraries. Every failure raises YNetError with the library's error text.

    import ynet
    with ynet.Client(lambda c, main, assistant, flags, body: print(body)) as client:
        client.connect("127.0.0.1:7000")
        client.send(1, 2, b"hello")

Callbacks run on the client's receive thread. A message callback returns
a true value to cut the connection. A callback that raises cuts the
connection too; the exception is kept in Client.callback_error. close()
from the client's own callback raises YNetError (the library refuses it).
"""
import ctypes
import ctypes.util
import os

__all__ = ["YNetError", "Client", "pack_head", "unpack_head", "encode", "decode", "version",
           "REQUEST", "RESPOND", "ORDINAL", "SOCKS4", "SOCKS5"]

REQUEST, RESPOND, ORDINAL = 1, 2, 4
SOCKS4, SOCKS5 = 1, 2
MAX_BODY = 1436
_EVENTS = {1: "connected", 2: "thread started", 3: "thread ended"}


def _load():
    name = os.environ.get("YNET_LIBRARY") or ctypes.util.find_library("YonderNetC")
    if not name:
        raise ImportError("ynet: libYonderNetC not found; set YNET_LIBRARY to the library file")
    return ctypes.CDLL(name)


_lib = _load()
_u32, _i32, _p = ctypes.c_uint32, ctypes.c_int32, ctypes.c_void_p
# Every function and callback of ynet.h is cdecl (YNET_CALL): CDLL and CFUNCTYPE.
_MessageFn = ctypes.CFUNCTYPE(_i32, _p, _p, _u32, _u32, _u32, ctypes.POINTER(ctypes.c_uint8), _i32)
_EventFn = ctypes.CFUNCTYPE(None, _p, _p)
_NotifyFn = ctypes.CFUNCTYPE(None, _p, _p, _u32)


class _Callbacks(ctypes.Structure):
    _fields_ = [("size", _u32), ("user", _p), ("on_message", _MessageFn), ("on_cut", _EventFn),
                ("on_thread_begin", _EventFn), ("on_thread_end", _EventFn), ("on_notify", _NotifyFn),
                ("window", _p), ("window_message", _u32)]


class _Options(ctypes.Structure):
    _fields_ = [("size", _u32), ("proxy_type", _u32), ("proxy", ctypes.c_char_p), ("user", ctypes.c_char_p),
                ("password", ctypes.c_char_p), ("timeout_ms", _u32)]


class _Head(ctypes.Structure):
    _fields_ = [("size", _u32), ("main_id", _u32), ("assistant_id", _u32), ("flags", _u32)]


for _name, _args in {
        "ynet_version": [], "ynet_last_error": [], "ynet_stack_start": [],
        "ynet_client_new": [ctypes.POINTER(_Callbacks), ctypes.POINTER(_p)],
        "ynet_client_connect": [_p, ctypes.c_char_p, ctypes.POINTER(_Options)],
        "ynet_client_send": [_p, _u32, _u32, _u32, ctypes.c_char_p, _i32],
        "ynet_client_is_connected": [_p], "ynet_client_release": [_p], "ynet_client_destroy": [_p],
        "ynet_head_pack": [ctypes.POINTER(_Head), ctypes.c_char_p],
        "ynet_head_unpack": [ctypes.c_char_p, ctypes.POINTER(_Head)],
        "ynet_encode": [ctypes.c_char_p, _i32], "ynet_decode": [ctypes.c_char_p, _i32]}.items():
    getattr(_lib, _name).argtypes = _args
    getattr(_lib, _name).restype = _i32
_lib.ynet_version.restype = _u32
_lib.ynet_last_error.restype = ctypes.c_char_p


class YNetError(Exception):
    """A failed call: code is the library's YNET_E_* result, text its reason."""

    def __init__(self, code, text):
        super().__init__(text)
        self.code, self.text = code, text


def _check(result):
    if result < 0:
        raise YNetError(result, _lib.ynet_last_error().decode("utf-8", "replace"))
    return result


_check(_lib.ynet_stack_start())  # once for the process; the stack stays up until it ends
# Clients not closed yet: the library calls their callbacks until close(),
# so they must not be collected before (an unclosed client stays, unused).
_live = set()


class Client:
    """One connection. on_message(client, main_id, assistant_id, flags, body) and
    on_event(client, what), what one of "connected", "thread started",
    "thread ended", "cut"; both run on the receive thread."""

    def __init__(self, on_message, on_event=None):
        self._on_message, self._on_event = on_message, on_event
        self.callback_error = None
        # Kept here: the library calls them until the client is destroyed.
        self._callbacks = _Callbacks(ctypes.sizeof(_Callbacks), None, _MessageFn(self._message),
                                     _EventFn(self._cut), _EventFn(), _EventFn(), _NotifyFn(self._notify), None, 0)
        self._handle = _p()
        _check(_lib.ynet_client_new(ctypes.byref(self._callbacks), ctypes.byref(self._handle)))
        _live.add(self)

    def _guard(self, call, *args):
        try:
            return call(self, *args)
        except BaseException as error:  # never into the library: cut instead
            self.callback_error = error
            return 1

    def _message(self, _user, _client, main_id, assistant_id, flags, body, length):
        return 1 if self._guard(self._on_message, main_id, assistant_id, flags, ctypes.string_at(body, length)) else 0

    def _cut(self, _user, _client):
        if self._on_event:
            self._guard(self._on_event, "cut")

    def _notify(self, _user, _client, what):
        if self._on_event:
            self._guard(self._on_event, _EVENTS.get(what, str(what)))

    def connect(self, server, proxy=None, proxy_type=SOCKS5, user=None, password=None, timeout_ms=0):
        def text(value):
            return value.encode() if value is not None else None
        options = _Options(ctypes.sizeof(_Options), proxy_type if proxy else 0, text(proxy), text(user),
                           text(password), timeout_ms)
        _check(_lib.ynet_client_connect(self._handle, text(server), ctypes.byref(options)))

    def send(self, main_id, assistant_id, body=b"", flags=REQUEST):
        _check(_lib.ynet_client_send(self._handle, main_id, assistant_id, flags, bytes(body), len(body)))

    @property
    def connected(self):
        return _check(_lib.ynet_client_is_connected(self._handle)) == 1

    def release(self):
        """Closes without waiting (allowed from the callbacks)."""
        _check(_lib.ynet_client_release(self._handle))

    def close(self):
        """Ends the connection, waits for the receive thread, frees the client."""
        if self._handle:
            _check(_lib.ynet_client_destroy(self._handle))
            self._handle = _p()
            _live.discard(self)

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()


def pack_head(size, main_id, assistant_id, flags=0):
    out = ctypes.create_string_buffer(4)
    _check(_lib.ynet_head_pack(ctypes.byref(_Head(size, main_id, assistant_id, flags)), out))
    return out.raw


def unpack_head(data):
    if len(data) < 4:
        raise YNetError(-1, "unpack_head: a head has 4 bytes")
    head = _Head()
    _check(_lib.ynet_head_unpack(bytes(data[:4]), ctypes.byref(head)))
    return head.size, head.main_id, head.assistant_id, head.flags


def _scramble(function, body):
    buffer = ctypes.create_string_buffer(bytes(body), len(body))
    _check(function(buffer, len(body)))
    return buffer.raw


def encode(body):
    """The scrambled body (the bytes after the head), as it travels."""
    return _scramble(_lib.ynet_encode, body)


def decode(body):
    return _scramble(_lib.ynet_decode, body)


def version():
    return _lib.ynet_version()
