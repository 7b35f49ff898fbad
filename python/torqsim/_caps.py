"""ctypes mirrors of the Windows HID capability records (HIDP_CAPS, HIDP_BUTTON_CAPS,
HIDP_VALUE_CAPS).

Byte for byte the layout of src/platform/hid_types.h, so buffers filled by the native
library can be read field by field.
"""
import ctypes

_u8, _u16, _u32 = ctypes.c_uint8, ctypes.c_uint16, ctypes.c_uint32


class HidCaps(ctypes.Structure):
    _fields_ = [
        ("Usage", _u16),
        ("UsagePage", _u16),
        ("InputReportByteLength", _u16),
        ("OutputReportByteLength", _u16),
        ("FeatureReportByteLength", _u16),
        ("Reserved", _u16 * 17),
        ("NumberLinkCollectionNodes", _u16),
        ("NumberInputButtonCaps", _u16),
        ("NumberInputValueCaps", _u16),
        ("NumberInputDataIndices", _u16),
        ("NumberOutputButtonCaps", _u16),
        ("NumberOutputValueCaps", _u16),
        ("NumberOutputDataIndices", _u16),
        ("NumberFeatureButtonCaps", _u16),
        ("NumberFeatureValueCaps", _u16),
        ("NumberFeatureDataIndices", _u16),
    ]


class _Range(ctypes.Structure):
    _fields_ = [(name, _u16) for name in (
        "UsageMin", "UsageMax", "StringMin", "StringMax",
        "DesignatorMin", "DesignatorMax", "DataIndexMin", "DataIndexMax")]


class _NotRange(ctypes.Structure):
    _fields_ = [(name, _u16) for name in (
        "Usage", "Reserved1", "StringIndex", "Reserved2",
        "DesignatorIndex", "Reserved3", "DataIndex", "Reserved4")]


class _RangeUnion(ctypes.Union):
    _fields_ = [("Range", _Range), ("NotRange", _NotRange)]


# The fields both kinds of caps begin with, in Windows' order.
_CAPS_HEAD = [
    ("UsagePage", _u16),
    ("ReportID", _u8),
    ("IsAlias", _u8),
    ("BitField", _u16),
    ("LinkCollection", _u16),
    ("LinkUsage", _u16),
    ("LinkUsagePage", _u16),
    ("IsRange", _u8),
    ("IsStringRange", _u8),
    ("IsDesignatorRange", _u8),
    ("IsAbsolute", _u8),
]


class HidButtonCaps(ctypes.Structure):
    _anonymous_ = ("_u",)
    _fields_ = [*_CAPS_HEAD,
        ("ReportCount", _u16),
        ("Reserved2", _u16),
        ("Reserved", _u32 * 9),
        ("_u", _RangeUnion),
    ]

    @property
    def usage_range(self) -> "tuple[int, int]":
        """(min, max) of the usages the cap covers, read through the Range view as
        Windows' callers do: a single usage is filled as a range of one (min == max)."""
        return self.Range.UsageMin, self.Range.UsageMax


class HidValueCaps(ctypes.Structure):
    _anonymous_ = ("_u",)
    _fields_ = [*_CAPS_HEAD,
        ("HasNull", _u8),
        ("Reserved", _u8),
        ("BitSize", _u16),
        ("ReportCount", _u16),
        ("Reserved2", _u16 * 5),
        ("UnitsExp", _u32),
        ("Units", _u32),
        ("LogicalMin", ctypes.c_int32),
        ("LogicalMax", ctypes.c_int32),
        ("PhysicalMin", ctypes.c_int32),
        ("PhysicalMax", ctypes.c_int32),
        ("_u", _RangeUnion),
    ]


assert ctypes.sizeof(HidCaps) == 64
assert ctypes.sizeof(HidButtonCaps) == 72
assert ctypes.sizeof(HidValueCaps) == 72
