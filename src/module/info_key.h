// The keys of get_device_info, matched without regard to the case of ASCII letters
// (info_key.cpp). The answers to them are device_info.cpp's.
#pragma once

#include <cstddef>

namespace torq {

enum class InfoKey {
    Version,
    Name,
    Ticks,
    Type,
    VendorId,
    ProductId,
    Firmware,
    PanelCount,
    SerialNumber,
    DevicePath,
    Digits,
    Gear,
    MaxRpmLed,
    MaxWarningLed,
    MaxExternalLed,
    Brightness,
    Digital,
    Analog,
    RumbleMotor,
    Connected,
    Unknown,
};

// The key named by `length` bytes at `key` (no terminator needed; any bytes allowed).
InfoKey LookupInfoKey(const char* key, size_t length);

}  // namespace torq
