"""ctypes mirrors of the Windows HID capability records (HIDP_CAPS, HIDP_BUTTON_CAPS).

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


class HidButtonCaps(ctypes.Structure):
    _anonymous_ = ("_u",)
    _fields_ = [
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
        ("ReportCount", _u16),
        ("Reserved2", _u16),
        ("Reserved", _u32 * 9),
        ("_u", _RangeUnion),
    ]

    @property
    def usage_range(self) -> "tuple[int, int]":
        """(min, max) of the usages the cap covers; min == max for a single usage."""
        if self.IsRange:
            return self.Range.UsageMin, self.Range.UsageMax
        return self.NotRange.Usage, self.NotRange.Usage


assert ctypes.sizeof(HidCaps) == 64
assert ctypes.sizeof(HidButtonCaps) == 72
