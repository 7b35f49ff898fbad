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

// The documented keys, in the order of the InfoKey values.
constexpr std::string_view kNames[] = {
    "version", "name", "ticks", "type", "vendor id", "product id", "firmware",
    "panel count", "serial number", "device path", "digits", "gear", "max rpm led",
    "max warning led", "max external led", "brightness", "digital", "analog", "rumble motor", "connected",
};
static_assert(std::size(kNames) == static_cast<size_t>(torq::InfoKey::Unknown));

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto* key = reinterpret_cast<const char*>(data);
    const torq::InfoKey found = torq::LookupInfoKey(key, size);
    std::string lowered(key, size);
    for (char& c : lowered) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    auto expected = torq::InfoKey::Unknown;
    for (size_t i = 0; i < std::size(kNames); ++i) {
        if (kNames[i] == lowered) expected = static_cast<torq::InfoKey>(i);
    }
    if (found != expected) {
        std::fprintf(stderr, "info key: %s\n",
                     expected == torq::InfoKey::Unknown ? "matched a key that is not one" : "missed a key");
        std::abort();
    }
    return 0;
}
