"""YonderNetC from Python, over its C interface (ynet.h) with ctypes.

Three ways to receive, over one Client:

    # callbacks, on the client's receive thread
    with ynet.Client(lambda client, main_id, assistant_id, flags, body: print(body)) as client:
        client.connect("127.0.0.1:7000")
        client.send(1, 2, b"hello")

    # blocking, for scripts
    with ynet.Client() as client:
        client.connect("127.0.0.1:7000")
        client.send(1, 2, b"hello")
        message = client.recv(timeout=5)

    # asyncio
    async with ynet.connect("127.0.0.1:7000") as conn:
        await conn.send(1, 2, b"hello")
        async for message in conn:
            ...

Every failure raises YNetError with the library's code and text. The
library comes with the wheel (pip install ./python); YNET_LIBRARY names
another one.
"""
from __future__ import annotations

import ctypes
from typing import TYPE_CHECKING, Any, List, NamedTuple
from ._client import MAX_BODY, ORDINAL, REQUEST, RESPOND, SOCKS4, SOCKS5, Client, Message, set_log_sink
from ._native import E_ARG, E_FAIL, E_HANDLE, E_MEMORY, E_STATE, Head, YNetError, check, lib

__all__ = ["YNetError", "Client", "Message", "Connection", "connect", "set_log_sink", "pack_head", "unpack_head",
           "WireHead", "encode", "decode", "version", "__version__", "REQUEST", "RESPOND", "ORDINAL", "SOCKS4", "SOCKS5", "MAX_BODY", "E_ARG",
           "E_HANDLE", "E_STATE", "E_FAIL", "E_MEMORY"]


if TYPE_CHECKING:
    from ._aio import Connection, connect


def __getattr__(name: str) -> Any:
    # The asyncio interface is imported on first use: asyncio alone takes
    # longer to import than the rest of the module.
    if name in ("connect", "Connection"):
        from . import _aio
        return getattr(_aio, name)
    raise AttributeError(f"module 'ynet' has no attribute {name!r}")


def __dir__() -> List[str]:
    return sorted(set(globals()) | {"connect", "Connection"})  # the lazy ones too, for help() and completion


class WireHead(NamedTuple):
    """A wire head's fields, as unpack_head reads them."""
    size: int
    main_id: int
    assistant_id: int
    flags: int


def pack_head(size: int, main_id: int, assistant_id: int, flags: int = 0) -> bytes:
    """The 4-byte wire head of a message of size bytes in all."""
    out = ctypes.create_string_buffer(4)
    check(lib.ynet_head_pack(ctypes.byref(Head(size, main_id, assistant_id, flags)), out))
    return out.raw


def unpack_head(data: bytes) -> WireHead:
    """(size, main_id, assistant_id, flags) of a wire head (its first 4 bytes)."""
    if len(data) < 4:
        raise YNetError(E_ARG, "unpack_head: a head has 4 bytes")
    head = Head()
    check(lib.ynet_head_unpack(bytes(data[:4]), ctypes.byref(head)))
    return WireHead(head.size, head.main_id, head.assistant_id, head.flags)


def _scramble(function, body: bytes) -> bytes:
    buffer = ctypes.create_string_buffer(bytes(body), len(body))
    check(function(buffer, len(body)))
    return buffer.raw


def encode(body: bytes) -> bytes:
    """The scrambled body (the bytes after the head), as it travels."""
    return _scramble(lib.ynet_encode, body)


def decode(body: bytes) -> bytes:
    return _scramble(lib.ynet_decode, body)


def version() -> int:
    """The library's version: major << 16 | minor << 8 | patch."""
    return lib.ynet_version()


__version__ = "{}.{}.{}".format(version() >> 16, version() >> 8 & 0xFF, version() & 0xFF)  # the library's
