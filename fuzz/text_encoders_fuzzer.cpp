// The seven-segment encoders and the gear setter with any bytes of any length. The text
// sits in a heap block of exactly its length, so a read past it trips AddressSanitizer;
// an encoder may change its own panel bytes of the display report and nothing else.
//
// Input: byte 0 picks the operation (left, right, gear), byte 1 seeds the report's
// earlier contents, the rest is the text (for the gear: the code, then the point flag).
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string_view>
#include <utility>

#include "module/manager.h"

namespace {

using torq::kReportSize;
using Report = std::array<uint8_t, kReportSize>;

[[noreturn]] void Fail(const char* why, size_t offset) {
    std::fprintf(stderr, "encoder: %s (byte %zu)\n", why, offset);
    std::abort();
}

// Every byte outside [first, first + count) of the given ranges must be unchanged.
void CheckOnlyChanged(const Report& before, const uint8_t* after,
                      std::initializer_list<std::pair<size_t, size_t>> allowed) {
    for (size_t i = 0; i < kReportSize; ++i) {
        const bool inPanel = std::any_of(allowed.begin(), allowed.end(), [i](const auto& range) {
            return i >= range.first && i < range.first + range.second;
        });
        if (!inPanel && before[i] != after[i]) Fail("a byte outside the panel changed", i);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const size_t length = size - 2;
    const std::unique_ptr<char[]> text(new char[length]);
    if (length > 0) std::memcpy(text.get(), data + 2, length);
    const std::string_view view(text.get(), length);

    torq::CManager manager;
    torq::DisplayState& state = manager.Display();
    uint8_t* display = state.Report();
    for (size_t i = 0; i < kReportSize; ++i) {
        display[i] = static_cast<uint8_t>(data[1] * (i + 1));
        state.BrightnessReport()[i] = static_cast<uint8_t>(data[1] ^ i);
    }
    Report before, brightness;
    std::memcpy(before.data(), display, kReportSize);
    std::memcpy(brightness.data(), state.BrightnessReport(), kReportSize);

    switch (data[0] % 3) {
        case 0:
            state.SetLeftDigits(view);
            CheckOnlyChanged(before, display, {{2, 3}, {27, 3}});
            if (std::memcmp(display + 2, display + 27, 3) != 0) Fail("central and left panels differ", 2);
            break;
        case 1:
            state.SetRightDigits(view);
            CheckOnlyChanged(before, display, {{33, 3}});
            break;
        default: {
            const uint8_t code = length > 0 ? static_cast<uint8_t>(text[0]) : 0;
            int32_t point = 0;
            if (length > 1) std::memcpy(&point, text.get() + 1, std::min<size_t>(sizeof point, length - 1));
            state.SetGear(code, point);
            CheckOnlyChanged(before, display, {{2, 3}, {39, 1}});
            const auto shown = static_cast<uint8_t>(point > 0 ? code + 0x80 : code);
            if (display[2] != 0x20 || display[4] != 0x20 || display[3] != shown || display[39] != shown) {
                Fail("gear bytes", 39);
            }
        }
    }
    if (std::memcmp(brightness.data(), state.BrightnessReport(), kReportSize) != 0) {
        Fail("the brightness report changed", 0);
    }
    return 0;
}
