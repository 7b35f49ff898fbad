"""ctypes bindings of the virtual-bus C functions exported by the torqpanel module.

The module's shared library is loaded a second time through ctypes (the operating system
hands back the copy Python already loaded, so both see the same buses). ``CDLL`` releases
the interpreter lock for the length of every call: the engine's listener thread may be
waiting on the bus, and a report sent from Python must never wait for the lock.
"""
import ctypes
import threading
from typing import Optional

_u8p = ctypes.POINTER(ctypes.c_uint8)
_u16p = ctypes.POINTER(ctypes.c_uint16)
_c = ctypes

# name: (restype, argtypes)
_SIGNATURES = {
    "torqpanel_vhid_bus_new": (_c.c_uint64, []),
    "torqpanel_vhid_bus_free": (None, [_c.c_uint64]),
    "torqpanel_vhid_activate": (_c.c_int, [_c.c_uint64]),
    "torqpanel_vhid_active": (_c.c_uint64, []),
    "torqpanel_vhid_bus_fail": (_c.c_int, [_c.c_uint64, _c.c_char_p, _c.c_uint32]),
    "torqpanel_vhid_bus_clear": (_c.c_int, [_c.c_uint64, _c.c_char_p]),
    "torqpanel_vhid_add_device": (_c.c_int, [
        _c.c_uint64, _c.c_uint16, _c.c_uint16, _c.c_uint16,
        _c.c_char_p, _c.c_char_p, _c.c_char_p, _c.c_size_t]),
    "torqpanel_vhid_device_path": (_c.c_size_t, [
        _c.c_uint64, _c.c_int, _c.c_char_p, _c.c_size_t]),
    "torqpanel_vhid_device_descriptor": (_c.c_size_t, [
        _c.c_uint64, _c.c_int, _c.c_char_p, _c.c_size_t]),
    "torqpanel_vhid_send_input": (_c.c_int, [
        _c.c_uint64, _c.c_int, _c.c_char_p, _c.c_size_t]),
    "torqpanel_vhid_frame_count": (_c.c_size_t, [_c.c_uint64, _c.c_int]),
    "torqpanel_vhid_frame": (_c.c_size_t, [
        _c.c_uint64, _c.c_int, _c.c_size_t, _c.c_char_p, _c.c_size_t]),
    "torqpanel_vhid_clear_frames": (_c.c_int, [_c.c_uint64, _c.c_int]),
    "torqpanel_vhid_drop_frames": (_c.c_size_t, [_c.c_uint64, _c.c_int, _c.c_size_t]),
    "torqpanel_vhid_open_handles": (_c.c_int, [_c.c_uint64, _c.c_int]),
    "torqpanel_vhid_input_buffers": (_c.c_int, [_c.c_uint64, _c.c_int]),
    "torqpanel_vhid_fail": (_c.c_int, [_c.c_uint64, _c.c_int, _c.c_char_p, _c.c_uint32]),
    "torqpanel_vhid_clear": (_c.c_int, [_c.c_uint64, _c.c_int, _c.c_char_p]),
    "torqpanel_vhid_unplug": (_c.c_int, [_c.c_uint64, _c.c_int]),
    "torqpanel_vhid_stall": (_c.c_int, [_c.c_uint64, _c.c_int, _c.c_int64]),
    "torqpanel_vhid_resume": (_c.c_int, [_c.c_uint64, _c.c_int]),
    "torqpanel_vhid_stalled_writes": (_c.c_int, [
        _c.c_uint64, _c.c_int, _c.POINTER(_c.c_int), _c.POINTER(_c.c_size_t)]),
    "torqpanel_vhid_last_message": (_c.c_char_p, []),
    "torqpanel_vhid_descriptor_caps": (_c.c_int, [
        _c.c_char_p, _c.c_size_t, _c.c_void_p, _c.c_int, _c.c_void_p, _u16p]),
    "torqpanel_vhid_descriptor_value_caps": (_c.c_int, [
        _c.c_char_p, _c.c_size_t, _c.c_int, _c.c_void_p, _u16p]),
}

_lock = threading.Lock()
_lib: Optional[ctypes.CDLL] = None


def lib() -> ctypes.CDLL:
    """The loaded library with every function's signature declared (loaded on first use)."""
    global _lib
    with _lock:
        if _lib is None:
            import torqpanel

            loaded = ctypes.CDLL(torqpanel.__file__)
            for name, (restype, argtypes) in _SIGNATURES.items():
                function = getattr(loaded, name)
                function.restype = restype
                function.argtypes = argtypes
            _lib = loaded
        return _lib


_pylib: Optional[ctypes.PyDLL] = None


def pylib() -> ctypes.PyDLL:
    """The same library with the interpreter lock held across calls, for the exported
    wrappers that take Python objects (PySetRightDigits, BuildEx)."""
    global _pylib
    with _lock:
        if _pylib is None:
            import torqpanel

            loaded = ctypes.PyDLL(torqpanel.__file__)
            # A raw pointer: the wrapper can return null without an exception (no
            # engine), which a py_object result cannot hold.
            loaded.PySetRightDigits.restype = ctypes.c_void_p
            loaded.PySetRightDigits.argtypes = [ctypes.py_object, ctypes.py_object]
            _pylib = loaded
        return _pylib


def take_result(pointer: Optional[int]) -> object:
    """The object behind a new reference returned by an exported wrapper (the reference
    is given back); SystemError for a null result without an exception, as Python
    reports a method that fails that way."""
    if not pointer:
        raise SystemError("the wrapper returned NULL without setting an exception")
    value = ctypes.cast(pointer, ctypes.py_object).value
    ctypes.pythonapi.Py_DecRef(ctypes.c_void_p(pointer))
    return value


def last_message() -> str:
    """The text the last failed call on this thread left behind."""
    text = lib().torqpanel_vhid_last_message()
    return text.decode("utf-8", "replace") if text else "unknown failure"
