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

#include "module/engine.h"

using Report = std::array<uint8_t, torq::kReportSize>;

// Whether `after` equals `before` outside the panels' bytes ([first, first + count) each).
static bool OnlyPanelsChanged(Report before, const uint8_t* after,
                              std::initializer_list<std::pair<size_t, size_t>> panels) {
    for (const auto& [first, count] : panels) std::memcpy(before.data() + first, after + first, count);
    return std::memcmp(before.data(), after, before.size()) == 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const size_t length = size - 2;
    const std::unique_ptr<char[]> text(new char[length]);
    std::memcpy(text.get(), data + 2, length);
    const std::string_view view(text.get(), length);

    torq::CManager manager;
    torq::DisplayState& state = manager.Display();
    uint8_t* display = state.Report();
    for (size_t i = 0; i < torq::kReportSize; ++i) {
        display[i] = static_cast<uint8_t>(data[1] * (i + 1));
        state.BrightnessReport()[i] = static_cast<uint8_t>(data[1] ^ i);
    }
    Report before, brightness;
    std::memcpy(before.data(), display, before.size());
    std::memcpy(brightness.data(), state.BrightnessReport(), brightness.size());

    const char* why = "a byte outside the panel changed";
    if (data[0] % 3 == 0) {
        state.SetLeftDigits(view);
        if (OnlyPanelsChanged(before, display, {{2, 3}, {27, 3}})) {
            why = std::memcmp(display + 2, display + 27, 3) != 0 ? "central and left panels differ" : nullptr;
        }
    } else if (data[0] % 3 == 1) {
        state.SetRightDigits(view);
        if (OnlyPanelsChanged(before, display, {{33, 3}})) why = nullptr;
    } else {
        const uint8_t code = length > 0 ? static_cast<uint8_t>(text[0]) : 0;
        int32_t point = 0;
        if (length > 1) std::memcpy(&point, text.get() + 1, std::min<size_t>(sizeof point, length - 1));
        state.SetGear(code, point);
        const auto shown = static_cast<uint8_t>(point > 0 ? code + 0x80 : code);
        const bool ok = display[2] == 0x20 && display[4] == 0x20 && display[3] == shown && display[39] == shown;
        if (OnlyPanelsChanged(before, display, {{2, 3}, {39, 1}})) why = ok ? nullptr : "gear bytes";
    }
    if (!why && std::memcmp(brightness.data(), state.BrightnessReport(), brightness.size()) != 0) {
        why = "the brightness report changed";
    }
    if (!why) return 0;
    std::fprintf(stderr, "encoder: %s\n", why);
    std::abort();
}
