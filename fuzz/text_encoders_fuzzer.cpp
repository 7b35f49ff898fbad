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
#include <memory>
#include <string_view>

#include "module/manager.h"

namespace {

using torq::kReportSize;
using Report = std::array<uint8_t, kReportSize>;

[[noreturn]] void Fail(const char* why, size_t offset) {
    std::fprintf(stderr, "encoder: %s (byte %zu)\n", why, offset);
    std::abort();
}

Report Copy(const uint8_t* bytes) {
    Report r;
    std::memcpy(r.data(), bytes, kReportSize);
    return r;
}

// Every byte outside [first, first + count) of the given ranges must be unchanged.
void CheckOnlyChanged(const Report& before, const Report& after,
                      std::initializer_list<std::pair<size_t, size_t>> allowed) {
    for (size_t i = 0; i < kReportSize; ++i) {
        bool inPanel = false;
        for (const auto& [first, count] : allowed) {
            inPanel = inPanel || (i >= first && i < first + count);
        }
        if (!inPanel && before[i] != after[i]) {
            Fail("a byte outside the panel changed", i);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    const uint8_t operation = data[0] % 3;
    const uint8_t seed = data[1];
    const size_t length = size - 2;
    const std::unique_ptr<char[]> text(new char[length]);
    if (length > 0) {
        std::memcpy(text.get(), data + 2, length);
    }

    torq::CManager manager;
    torq::DisplayState& display = manager.Display();
    for (size_t i = 0; i < kReportSize; ++i) {
        display.Report()[i] = static_cast<uint8_t>(seed * (i + 1));
        display.BrightnessReport()[i] = static_cast<uint8_t>(seed ^ i);
    }
    const Report display = Copy(display.Report());
    const Report brightness = Copy(display.BrightnessReport());

    switch (operation) {
        case 0: {
            display.SetLeftDigits(std::string_view(text.get(), length));
            const Report after = Copy(display.Report());
            CheckOnlyChanged(display, after, {{2, 3}, {27, 3}});
            if (std::memcmp(after.data() + 2, after.data() + 27, 3) != 0) {
                Fail("central and left panels differ", 2);
            }
            break;
        }
        case 1:
            display.SetRightDigits(std::string_view(text.get(), length));
            CheckOnlyChanged(display, Copy(display.Report()), {{33, 3}});
            break;
        default: {
            const uint8_t code = length > 0 ? static_cast<uint8_t>(text[0]) : 0;
            int32_t point = 0;
            if (length > 1) {
                std::memcpy(&point, text.get() + 1, std::min<size_t>(sizeof point, length - 1));
            }
            display.SetGear(code, point);
            const Report after = Copy(display.Report());
            CheckOnlyChanged(display, after, {{2, 3}, {39, 1}});
            const auto shown = static_cast<uint8_t>(point > 0 ? code + 0x80 : code);
            if (after[2] != 0x20 || after[4] != 0x20 || after[3] != shown || after[39] != shown) {
                Fail("gear bytes", 39);
            }
            break;
        }
    }
    if (Copy(display.BrightnessReport()) != brightness) {
        Fail("the brightness report changed", 0);
    }
    return 0;
}
