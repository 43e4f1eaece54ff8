"""The library and the C declarations of ynet.h, through ctypes.

The library is, in this order: the file YNET_LIBRARY names; the one this
package carries (a wheel built by `pip wheel ./python`); the one whose path
`cmake --install` recorded beside an installed copy of the package; the one
the system's loader finds.
"""
from __future__ import annotations

import ctypes
import ctypes.util
import os
from typing import Optional

_HERE = os.path.dirname(os.path.abspath(__file__))
_CARRIED = ("libYonderNetC.so", "YonderNetC.dll", "libYonderNetC.dylib")


def _library_path() -> Optional[str]:
    given = os.environ.get("YNET_LIBRARY")
    if given:
        return given
    for name in _CARRIED:
        path = os.path.join(_HERE, name)
        if os.path.exists(path):
            return path
    try:
        from ._location import LIBRARY  # written by cmake --install
        return LIBRARY
    except ImportError:
        return ctypes.util.find_library("YonderNetC")


def _load() -> ctypes.CDLL:
    path = _library_path()
    if not path:
        raise ImportError("ynet: the YonderNetC library was not found: install the wheel (pip install ./python), "
                          "or set YNET_LIBRARY to the library file")
    return ctypes.CDLL(path)


lib = _load()
u32, i32, p = ctypes.c_uint32, ctypes.c_int32, ctypes.c_void_p
# Every function and callback of ynet.h is cdecl (YNET_CALL): CDLL and CFUNCTYPE.
# The body comes as a plain address: cheaper to convert than a POINTER instance.
MessageFn = ctypes.CFUNCTYPE(i32, p, p, u32, u32, u32, p, i32)
EventFn = ctypes.CFUNCTYPE(None, p, p)
NotifyFn = ctypes.CFUNCTYPE(None, p, p, u32)
LogFn = ctypes.CFUNCTYPE(None, p, ctypes.c_char_p)


class Callbacks(ctypes.Structure):
    _fields_ = [("size", u32), ("user", p), ("on_message", MessageFn), ("on_cut", EventFn),
                ("on_thread_begin", EventFn), ("on_thread_end", EventFn), ("on_notify", NotifyFn),
                ("window", p), ("window_message", u32)]


class Options(ctypes.Structure):
    _fields_ = [("size", u32), ("proxy_type", u32), ("proxy", ctypes.c_char_p), ("user", ctypes.c_char_p),
                ("password", ctypes.c_char_p), ("timeout_ms", u32)]


class Head(ctypes.Structure):
    _fields_ = [("size", u32), ("main_id", u32), ("assistant_id", u32), ("flags", u32)]


for _name, _args in {
        "ynet_version": [], "ynet_last_error": [], "ynet_stack_start": [], "ynet_stack_stop": [],
        "ynet_set_log_sink": [LogFn, p],
        "ynet_client_new": [ctypes.POINTER(Callbacks), ctypes.POINTER(p)],
        "ynet_client_connect": [p, ctypes.c_char_p, ctypes.POINTER(Options)],
        "ynet_client_connect_url": [p, ctypes.c_char_p, ctypes.c_char_p, u32],
        "ynet_client_reconnect": [p],
        "ynet_client_set_nodelay": [p, i32], "ynet_client_set_keepalive": [p, u32, u32, u32],
        "ynet_client_send": [p, u32, u32, u32, ctypes.c_char_p, i32],
        "ynet_client_is_connected": [p], "ynet_client_disconnect": [p], "ynet_client_release": [p],
        "ynet_client_wait_release": [p], "ynet_client_destroy": [p],
        "ynet_head_pack": [ctypes.POINTER(Head), ctypes.c_char_p],
        "ynet_head_unpack": [ctypes.c_char_p, ctypes.POINTER(Head)],
        "ynet_encode": [ctypes.c_char_p, i32], "ynet_decode": [ctypes.c_char_p, i32]}.items():
    getattr(lib, _name).argtypes = _args
    getattr(lib, _name).restype = i32
lib.ynet_version.restype = u32
lib.ynet_last_error.restype = ctypes.c_char_p

E_ARG, E_HANDLE, E_STATE, E_FAIL, E_MEMORY = -1, -2, -3, -4, -5


class YNetError(Exception):
    """A failed call: code is the library's YNET_E_* result (E_ARG, E_HANDLE,
    E_STATE, E_FAIL, E_MEMORY), text its reason."""

    def __init__(self, code: int, text: str) -> None:
        super().__init__(text)
        self.code, self.text = code, text


def check(result: int) -> int:
    if result < 0:
        raise YNetError(result, lib.ynet_last_error().decode("utf-8", "replace"))
    return result


def text_arg(operation: str, what: str, value: Optional[str]) -> Optional[bytes]:
    """A text for the library: C strings end at the first NUL, so a text
    holding one would be cut short silently; it is refused instead."""
    if value is None:
        return None
    if "\0" in value:
        raise YNetError(E_ARG, f"{operation}: the {what} holds a NUL character: {value!r}")
    return value.encode()
