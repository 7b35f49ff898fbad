// Plain records shared by the device code and every HID backend. They mirror the
// Windows HID structures field for field, so the win32 backend can hand its own
// records through unchanged and the rest of the code reads the same names everywhere.
#pragma once

#include <cstdint>

namespace torq {

// HIDP_CAPS: the top-level capabilities of one HID collection.
struct HidCaps {
    uint16_t Usage;
    uint16_t UsagePage;
    uint16_t InputReportByteLength;    // report-ID byte included (0 when no input report)
    uint16_t OutputReportByteLength;
    uint16_t FeatureReportByteLength;
    uint16_t Reserved[17];
    uint16_t NumberLinkCollectionNodes;
    uint16_t NumberInputButtonCaps;
    uint16_t NumberInputValueCaps;
    uint16_t NumberInputDataIndices;
    uint16_t NumberOutputButtonCaps;
    uint16_t NumberOutputValueCaps;
    uint16_t NumberOutputDataIndices;
    uint16_t NumberFeatureButtonCaps;
    uint16_t NumberFeatureValueCaps;
    uint16_t NumberFeatureDataIndices;
};
static_assert(sizeof(HidCaps) == 64, "HidCaps must keep the HIDP_CAPS layout");

// The two readings of the usage fields of HIDP_BUTTON_CAPS. Declared outside the
// record: standard C++ allows no type definitions inside an anonymous union.
struct HidUsageRange {
    uint16_t UsageMin, UsageMax;
    uint16_t StringMin, StringMax;
    uint16_t DesignatorMin, DesignatorMax;
    uint16_t DataIndexMin, DataIndexMax;
};
struct HidUsageNotRange {
    uint16_t Usage, Reserved1;
    uint16_t StringIndex, Reserved2;
    uint16_t DesignatorIndex, Reserved3;
    uint16_t DataIndex, Reserved4;
};

// HIDP_BUTTON_CAPS: one button (or array) capability.
struct HidButtonCaps {
    uint16_t UsagePage;
    uint8_t ReportID;
    uint8_t IsAlias;
    uint16_t BitField;
    uint16_t LinkCollection;
    uint16_t LinkUsage;
    uint16_t LinkUsagePage;
    uint8_t IsRange;
    uint8_t IsStringRange;
    uint8_t IsDesignatorRange;
    uint8_t IsAbsolute;
    uint16_t ReportCount;
    uint16_t Reserved2;
    uint32_t Reserved[9];
    union {
        HidUsageRange Range;
        HidUsageNotRange NotRange;
    };
};
static_assert(sizeof(HidButtonCaps) == 72, "HidButtonCaps must keep the HIDP_BUTTON_CAPS layout");

// HIDP_VALUE_CAPS: one value capability (a field wider than one bit).
struct HidValueCaps {
    uint16_t UsagePage;
    uint8_t ReportID;
    uint8_t IsAlias;
    uint16_t BitField;
    uint16_t LinkCollection;
    uint16_t LinkUsage;
    uint16_t LinkUsagePage;
    uint8_t IsRange;
    uint8_t IsStringRange;
    uint8_t IsDesignatorRange;
    uint8_t IsAbsolute;
    uint8_t HasNull;
    uint8_t Reserved;
    uint16_t BitSize;
    uint16_t ReportCount;
    uint16_t Reserved2[5];
    uint32_t UnitsExp;
    uint32_t Units;
    int32_t LogicalMin, LogicalMax;
    int32_t PhysicalMin, PhysicalMax;
    union {
        HidUsageRange Range;
        HidUsageNotRange NotRange;
    };
};
static_assert(sizeof(HidValueCaps) == 72, "HidValueCaps must keep the HIDP_VALUE_CAPS layout");

// HIDD_ATTRIBUTES.
struct HidAttributes {
    uint32_t Size;
    uint16_t VendorID;
    uint16_t ProductID;
    uint16_t VersionNumber;
};

// HidP_* status values the device code looks at.
inline constexpr uint32_t kHidpStatusSuccess = 0x00110000u;
inline constexpr uint32_t kHidpStatusBufferTooSmall = 0xC0110007u;
inline constexpr uint32_t kHidpStatusInvalidPreparsedData = 0xC0110001u;
inline constexpr uint32_t kHidpStatusUsageNotFound = 0xC0110004u;

// Windows error codes the device code tells apart (the other backends use the same
// numbers so one rule serves every platform).
inline constexpr uint32_t kErrorSuccess = 0;
inline constexpr uint32_t kErrorFileNotFound = 2;
inline constexpr uint32_t kErrorAccessDenied = 5;
inline constexpr uint32_t kErrorInvalidHandle = 6;
inline constexpr uint32_t kErrorGenFailure = 31;
inline constexpr uint32_t kErrorInvalidParameter = 87;
inline constexpr uint32_t kErrorInsufficientBuffer = 122;
inline constexpr uint32_t kErrorNoMoreItems = 259;
inline constexpr uint32_t kErrorIoPending = 997;
inline constexpr uint32_t kErrorDeviceNotConnected = 1167;
// A write the device did not take within the backend's bound: nothing was sent.
inline constexpr uint32_t kErrorTimeout = 1460;

}  // namespace torq
