"""The program under test: an interpreter that imports torqpanel inside the emulated
kernel (started with umockdev's preload library and UMOCKDEV_DIR) and runs what the test
sends it.

Requests are JSON lines on stdin: {"exec": source} or {"eval": expression}, run in one
namespace that starts with torqpanel imported and the helpers below. Answers go as JSON
lines to the file descriptor named by argv[1] ({"value": repr(result)} or
{"error": traceback}), so that standard output stays the module's console, which the
test reads from a file.
"""
import ctypes
import json
import os
import sys
import time
import traceback

import torqpanel
from torqsim._caps import HidButtonCaps, HidCaps

_native = ctypes.CDLL(torqpanel.__file__)
_interface_caps = _native.torqpanel_hid_interface_caps
_interface_caps.argtypes = [ctypes.c_char_p, ctypes.c_void_p, ctypes.c_void_p,
                            ctypes.POINTER(ctypes.c_uint16)]
_get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_get_pointer.restype = ctypes.c_void_p
_get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]


def key_summary(obj):
    """(enumeration calls, opened, serial text) of the last discovery pass."""
    block = ctypes.string_at(_get_pointer(obj.get_module(), b"module.key"), 1648)
    serial = block[608:608 + 254].decode("utf-16-le").split("\0")[0]
    return (int.from_bytes(block[12:16], "little"), int.from_bytes(block[16:20], "little"), serial)


def interface_caps(path):
    """What the OS backend reports for an interface path, or None."""
    caps = HidCaps()
    buttons = (HidButtonCaps * 64)()
    count = ctypes.c_uint16(64)
    if not _interface_caps(path.encode(), ctypes.byref(caps), buttons, ctypes.byref(count)):
        return None
    return dict(
        lengths=(caps.InputReportByteLength, caps.OutputReportByteLength,
                 caps.FeatureReportByteLength),
        counts=(caps.NumberInputButtonCaps, caps.NumberInputValueCaps,
                caps.NumberOutputButtonCaps, caps.NumberOutputValueCaps,
                caps.NumberFeatureButtonCaps, caps.NumberFeatureValueCaps),
        top=(caps.UsagePage, caps.Usage, caps.NumberLinkCollectionNodes),
        input_buttons=[(b.ReportID, b.UsagePage, *b.usage_range, b.IsRange)
                       for b in buttons[:count.value]])


def watch_switch(obj, switch, last, timeout=10.0):
    """Every value of one switch that get_input_data shows, polled each millisecond,
    until it shows `last`."""
    seen = []
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        event = obj.get_input_data()  # None until the listener has begun
        if event is not None and event[:3] == (15, 0, switch) and (not seen or seen[-1] != event[3]):
            seen.append(event[3])
            if event[3] == last:
                break
        time.sleep(0.001)
    return seen


def main():
    answers = os.fdopen(int(sys.argv[1]), "w")
    namespace = dict(torqpanel=torqpanel, key_summary=key_summary,
                     interface_caps=interface_caps, watch_switch=watch_switch, time=time)
    answers.write(json.dumps({"value": "None"}) + "\n")
    answers.flush()
    for line in sys.stdin:
        request = json.loads(line)
        try:
            if "exec" in request:
                exec(request["exec"], namespace)
                answer = {"value": "None"}
            else:
                answer = {"value": repr(eval(request["eval"], namespace))}
        except BaseException:  # the test sees the whole traceback
            answer = {"error": traceback.format_exc()}
        sys.stdout.flush()
        answers.write(json.dumps(answer) + "\n")
        answers.flush()


if __name__ == "__main__":
    main()
