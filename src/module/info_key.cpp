// The keys of get_device_info and their lookup. Kept apart from the Python side so the
// fuzzers and native tests can link it without an interpreter.
#include <string_view>

#include "module/info_key.h"

namespace torq {

namespace {

struct KeyName {
    std::string_view text;
    InfoKey key;
};

// In the order they are compared.
constexpr KeyName kKeys[] = {
    {"version", InfoKey::Version},
    {"name", InfoKey::Name},
    {"ticks", InfoKey::Ticks},
    {"type", InfoKey::Type},
    {"vendor id", InfoKey::VendorId},
    {"product id", InfoKey::ProductId},
    {"firmware", InfoKey::Firmware},
    {"panel count", InfoKey::PanelCount},
    {"serial number", InfoKey::SerialNumber},
    {"device path", InfoKey::DevicePath},
    {"digits", InfoKey::Digits},
    {"gear", InfoKey::Gear},
    {"max rpm led", InfoKey::MaxRpmLed},
    {"max warning led", InfoKey::MaxWarningLed},
    {"max external led", InfoKey::MaxExternalLed},
    {"brightness", InfoKey::Brightness},
    {"digital", InfoKey::Digital},
    {"analog", InfoKey::Analog},
    {"rumble motor", InfoKey::RumbleMotor},
    // Added after the original keys, so each of them is still compared first.
    {"connected", InfoKey::Connected},
};

constexpr size_t kLongestKey = 16;  // "max external led"

}  // namespace

InfoKey LookupInfoKey(const char* key, size_t length) {
    if (length > kLongestKey) {
        return InfoKey::Unknown;  // no key is that long: nothing to copy or compare
    }
    char lowered[kLongestKey];
    for (size_t i = 0; i < length; ++i) {
        // ASCII letters only: every other byte stays as it is, whatever the locale.
        const char c = key[i];
        lowered[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    const std::string_view text(lowered, length);
    for (const KeyName& name : kKeys) {
        if (name.text == text) {
            return name.key;
        }
    }
    return InfoKey::Unknown;
}

}  // namespace torq
