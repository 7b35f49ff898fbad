// get_device_info's key handling with any bytes: the lookup reads only the key's bytes
// (libFuzzer hands each input over in a heap block of exactly its size) and matches a
// key exactly when the bytes, with ASCII letters lowered, spell it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "module/device_info.h"

namespace {

using torq::InfoKey;

// The documented keys, in the order of the InfoKey values.
constexpr std::string_view kNames[] = {
    "version", "name", "ticks", "type", "vendor id", "product id", "firmware",
    "panel count", "serial number", "device path", "digits", "gear", "max rpm led",
    "max warning led", "max external led", "brightness", "digital", "analog", "rumble motor", "connected",
};
static_assert(std::size(kNames) == static_cast<size_t>(InfoKey::Unknown));

[[noreturn]] void Fail(const char* why) {
    std::fprintf(stderr, "info key: %s\n", why);
    std::abort();
}

std::string AsciiLower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto* key = reinterpret_cast<const char*>(data);
    const InfoKey found = torq::LookupInfoKey(key, size);
    const std::string lowered = AsciiLower(std::string_view(key, size));
    InfoKey expected = InfoKey::Unknown;
    for (size_t i = 0; i < std::size(kNames); ++i) {
        if (kNames[i] == lowered) {
            expected = static_cast<InfoKey>(i);
        }
    }
    if (found != expected) {
        Fail(expected == InfoKey::Unknown ? "matched a key that is not one" : "missed a key");
    }
    return 0;
}
