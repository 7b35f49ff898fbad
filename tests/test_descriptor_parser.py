"""The report-descriptor parser against the caps Windows computed, and broken input."""
import ctypes
import json
import pathlib

import pytest

from conftest import initialised
from torqsim import BOARD_DESCRIPTOR, BOARD_PID, BOARD_VID, _native
from torqsim._caps import HidButtonCaps, HidCaps, HidValueCaps

ENTRIES = json.loads((pathlib.Path(__file__).parent / "data" / "windows_caps.json").read_text())
TYPES = ("Input", "Output", "Feature")
SENTINEL = 0xA5


def parse(descriptor, report_type=0, capacity=32):
    """(result, HidCaps, *count after the call, button caps buffer), as Windows' call gives."""
    caps, count = HidCaps(), ctypes.c_uint16(capacity)
    buf = (HidButtonCaps * max(capacity, 1))()
    ctypes.memset(buf, SENTINEL, ctypes.sizeof(buf))
    rc = _native.lib().torqpanel_vhid_descriptor_caps(
        descriptor, len(descriptor), ctypes.byref(caps), report_type, buf, ctypes.byref(count))
    return rc, caps, count.value, buf


def value_caps(descriptor, report_type=0):
    buf, count = (HidValueCaps * 32)(), ctypes.c_uint16(32)
    assert _native.lib().torqpanel_vhid_descriptor_value_caps(
        descriptor, len(descriptor), report_type, buf, ctypes.byref(count))
    return buf[:count.value]


def summary(cap):
    return (cap.ReportID, cap.UsagePage, *cap.usage_range, cap.IsRange)


def expected(entry, kind):
    return [tuple(c.values()) for c in entry[kind.lower()]["button_caps"]]  # in summary's order


BY_NAME = {e["name"]: e for e in ENTRIES}


# Each collection alone, then several collections in one descriptor: the first is taken.
@pytest.mark.parametrize("name,descriptor", [
    *[(e["name"], bytes.fromhex(e["descriptor"])) for e in ENTRIES],
    # The only whole-device dump in the data without stray bytes (see data/README.md).
    ("046D_B010_0002_0001", bytes.fromhex(BY_NAME["046D_B010_0001_000C"]["whole_device_descriptor"])),
    ("046D_C52F_0002_0001", bytes.fromhex(BY_NAME["046D_C52F_0002_0001"]["descriptor"]
                                          + BY_NAME["046A_0011_0006_0001"]["descriptor"])),
], ids=lambda value: value if isinstance(value, str) else "descriptor")
def test_collection_matches_windows(name, descriptor):
    entry = BY_NAME[name]
    for t, kind in enumerate(TYPES):
        rc, caps, count, buf = parse(descriptor, t)
        want = entry[kind.lower()]
        assert (rc, getattr(caps, f"{kind}ReportByteLength")) == (1, want["report_byte_length"])
        assert getattr(caps, f"Number{kind}ButtonCaps") == want["number_button_caps"] == count
        values = value_caps(descriptor, t)
        assert getattr(caps, f"Number{kind}ValueCaps") == want["number_value_caps"] == len(values)
        assert [summary(c) for c in buf[:count]] == expected(entry, kind)
        for cap in list(buf[:count]) + values:
            n = cap.NotRange  # a single usage is filled as a range of one
            assert cap.IsRange or (n.Reserved1, n.Reserved2, n.Reserved3, n.Reserved4) == (
                n.Usage, n.StringIndex, n.DesignatorIndex, n.DataIndex)
    assert (caps.UsagePage, caps.Usage) == (entry["usage_page"], entry["usage"])
    assert caps.NumberLinkCollectionNodes == entry["link_collection_nodes"]


def collection(body):
    return bytes.fromhex("05 01 09 04 a1 01" + body + "c0")


# A keyboard whose first input is one modifier (Left Control), then a range of keys, and
# a consumer control's AC Pan as a relative value.
KEYBOARD_MODIFIER_FIRST = bytes.fromhex(
    "05 01 09 06 a1 01 05 07 09 e0 15 00 25 01 75 01 95 01 81 02 75 07 81 03"
    "19 00 29 65 25 65 75 08 95 06 81 00 05 0c 0a 38 02 15 81 25 7f 75 08 95 01 81 06 c0")


# A range (the board's 32 buttons) is the discovery tests'.
def test_digital_and_analog_as_windows_counts(bus):
    """"digital" reads the first input button cap's Range view, a single usage too, as Windows."""
    bus.add_device(vid=BOARD_VID, pid=BOARD_PID, descriptor=bytearray(KEYBOARD_MODIFIER_FIRST))
    obj = initialised()
    assert (obj.get_device_info("digital"), obj.get_device_info("analog")) == (1, 1)


def test_value_caps_as_windows_fills_them():
    # After Wine's HID parser tests (which hold Windows' answers): a 1-bit usage over
    # 8 fields, a range of zero-bit fields (a value cap), an item of no fields (nothing),
    # a hat switch over 2 fields, then X and Y sharing one item, listed in reverse.
    descriptor = collection("05 09 09 20 15 00 25 01 95 08 75 01 81 02 19 21 29 22 95 02 75 00 81 02"
                            "09 23 95 00 75 01 81 02 05 01 09 39 15 01 25 08 75 04 95 02 81 42"
                            "09 30 09 31 15 e7 25 38 75 08 95 02 81 02")
    rc, caps, count, buttons = parse(descriptor)
    assert rc == 1 and caps.InputReportByteLength == 5 and caps.NumberInputDataIndices == 6
    assert count == 1 and (buttons[0].Range.UsageMin, buttons[0].Range.UsageMax,
                           buttons[0].Range.DataIndexMin, buttons[0].Range.DataIndexMax) == (0x20, 0x20, 0, 0)
    got = [(v.UsagePage, v.IsRange, v.Range.UsageMin, v.Range.UsageMax, v.Range.DataIndexMin,
            v.Range.DataIndexMax, v.BitSize, v.ReportCount, v.LogicalMin, v.LogicalMax, v.HasNull,
            v.BitField, v.IsAbsolute) for v in value_caps(descriptor)]
    assert got == [(9, 1, 0x21, 0x22, 1, 2, 0, 1, 0, 1, 0, 2, 1),
                   (1, 0, 0x39, 0x39, 3, 3, 4, 2, 1, 8, 1, 0x42, 1),
                   (1, 0, 0x31, 0x31, 4, 4, 8, 1, -25, 56, 0, 2, 1),
                   (1, 0, 0x30, 0x30, 5, 5, 8, 1, -25, 56, 0, 2, 1)]


@pytest.mark.parametrize("body,buttons", [
    # A 4-byte usage carries its page; a short one takes the page in force at Input.
    ("0b 05 00 09 00 09 07 05 09 75 01 95 02 81 02",
     [(0, 9, 7, 7, 0, 1), (0, 9, 5, 5, 0, 1)]),
    # More usages than fields: the extra one describes nothing.
    ("05 09 09 01 09 02 09 03 75 01 95 02 81 02", [(0, 9, 2, 2, 0, 1), (0, 9, 1, 1, 0, 1)]),
    # Fewer usages than fields: the last usage covers the rest.
    ("05 09 09 01 09 02 75 01 95 05 81 02", [(0, 9, 2, 2, 0, 4), (0, 9, 1, 1, 0, 1)]),
    # A delimited set keeps its first usage.
    ("05 09 a9 01 09 04 09 05 a9 00 75 01 95 01 81 02", [(0, 9, 4, 4, 0, 1)]),
    # Push/Pop restore the report ID and usage page.
    ("85 02 05 09 a4 85 03 05 08 b4 09 01 75 01 95 01 81 02", [(2, 9, 1, 1, 0, 1)]),
])
def test_usage_rules(body, buttons):
    rc, _, count, buf = parse(collection(body))
    assert rc == 1 and [(*summary(c), c.ReportCount) for c in buf[:count]] == buttons


MALFORMED = [
    b"", bytes.fromhex("75 08 95 01 81 02"),  # empty; no collection
    # a long item cut short, a collection never closed, one End Collection too many, a
    # short item cut short
    BOARD_DESCRIPTOR + bytes.fromhex("fe 05 00 01"), BOARD_DESCRIPTOR[:-1], BOARD_DESCRIPTOR + b"\xc0",
    BOARD_DESCRIPTOR + b"\x26\xff",
    # in a collection: a long item cut short, Pop without Push, report ID 0, a range running
    # backwards, a report of 0x10000 bytes, an absurd report count (twice), Push too deep
    *[collection(body) for body in ("fe 05 00 01", "b4", "85 00", "19 05 29 01 75 01 95 01 81 02",
                                    "75 08 96 ff ff 81 02", "75 08 97 ff ff ff ff 81 02",
                                    "77 ff ff ff ff 97 ff ff ff ff 81 02", "a4" * 40)],
    bytes.fromhex("a1 01" * 100 + "c0" * 100),  # nesting too deep
]


# (descriptor, report type, the report length when accepted or None when rejected)
@pytest.mark.parametrize("descriptor, report_type, length", [(d, 0, None) for d in MALFORMED] + [
    (BOARD_DESCRIPTOR, -1, None), (BOARD_DESCRIPTOR, 3, None),  # no such report type
    (collection("75 08 96 fe ff 81 02"), 0, 0xFFFF),  # the longest report there can be
], ids=lambda d: d.hex()[:24] or "empty" if isinstance(d, bytes) else str(d))
def test_report_limits_and_malformed_input_or_report_type(descriptor, report_type, length):
    rc, caps, _, _ = parse(descriptor, report_type)
    assert (rc, caps.InputReportByteLength if rc else None) == (int(length is not None), length)


@pytest.mark.parametrize("capacity,written", [(0, 0), (1, 1), (2, 2), (5, 2)])
def test_count_is_capacity_then_available(capacity, written):
    keyboard = bytes.fromhex(ENTRIES[0]["descriptor"])
    rc, _, count, buf = parse(keyboard, 0, capacity)
    assert rc == 1 and count == 2
    assert [summary(c) for c in buf[:written]] == expected(ENTRIES[0], "Input")[:written]
    assert all(bytes(c) == bytes([SENTINEL]) * ctypes.sizeof(c) for c in buf[written:])

