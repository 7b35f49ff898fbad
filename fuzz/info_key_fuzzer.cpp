// get_device_info's key handling with any bytes: the lookup reads only the key's bytes
// (libFuzzer hands each input over in a heap block of exactly its size) and matches a
// key exactly when the bytes, with ASCII letters lowered, spell it.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string>
#include <string_view>

#include "module/info_key.h"

// The documented keys, in the order of the InfoKey values: Unknown is one past the last.
constexpr std::string_view kNames[] = {
    "version", "name", "ticks", "type", "vendor id", "product id", "firmware",
    "panel count", "serial number", "device path", "digits", "gear", "max rpm led",
    "max warning led", "max external led", "brightness", "digital", "analog", "rumble motor", "connected",
};
static_assert(std::size(kNames) == static_cast<size_t>(torq::InfoKey::Unknown));

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto* key = reinterpret_cast<const char*>(data);
    std::string lowered(key, size);
    for (char& c : lowered) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    const auto expected = static_cast<torq::InfoKey>(std::find(kNames, std::end(kNames), lowered) - kNames);
    if (torq::LookupInfoKey(key, size) == expected) return 0;
    std::fprintf(stderr, "info key: %s\n",
                 expected == torq::InfoKey::Unknown ? "matched a key that is not one" : "missed a key");
    std::abort();
}
