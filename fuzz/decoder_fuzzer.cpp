// The input decoder against random report sequences. Each report sits in a heap block
// of exactly the decoded size, so a read past byte 21 trips AddressSanitizer; every
// event the decoder publishes must be one the board could mean by that report.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "input/decoder.h"

namespace {

using torq::InputEvent;
using torq::kDecodedReportSize;

// Differences one report can hold: 32 buttons, 9 switches (7 and 8 one after the other).
constexpr int kSettleReports = 48;

[[noreturn]] void Fail(const char* why, const InputEvent& e, const uint8_t* report) {
    std::fprintf(stderr, "decoder: %s: device=%d isButton=%d number=%d value=%d\nreport:", why,
                 e.device, e.isButton, e.number, e.value);
    for (size_t i = 0; i < kDecodedReportSize; ++i) std::fprintf(stderr, " %02x", report[i]);
    std::fprintf(stderr, "\n");
    std::abort();
}

// The position of switch 1 to 9 that the report's bytes give.
int32_t SwitchValue(int32_t number, const uint8_t* report) {
    if (number <= 6) return report[5 + 2 * (number - 1)];
    if (number == 9) return static_cast<int32_t>(report[21]) - 240;
    const uint8_t* bytes = report + (number == 7 ? 19 : 17);  // little-endian, signed
    return static_cast<int16_t>(static_cast<uint16_t>(bytes[0] | (bytes[1] << 8)));
}

// Why the event cannot describe a field of the report that produced it; null when it can.
const char* Disagreement(const InputEvent& e, const uint8_t* report) {
    if (e.device != torq::kDeviceCode) return "device code";
    if (e.isButton == 1) {
        if (e.number < 1 || e.number > 32) return "button number";
        const int bit = (e.number - 1) % 8;
        const bool held = ((report[1 + (e.number - 1) / 8] >> bit) & 1) != 0;
        const bool consistent = e.value == 0 ? !held : (held && e.value == bit + 1);
        return consistent ? nullptr : "button value disagrees with its bit";
    }
    if (e.isButton != 0) return "isButton";
    if (e.number < 1 || e.number > 9) return "switch number";
    return e.value == SwitchValue(e.number, report) ? nullptr : "switch value disagrees with its bytes";
}

// Decodes one report; true when it published an event.
bool DecodeChecked(torq::InputState& state, const uint8_t* report) {
    if (!state.Decode(report)) return false;
    const InputEvent e = state.Latest();
    if (const char* why = Disagreement(e, report)) Fail(why, e, report);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    torq::InputState state;
    state.Reset();
    const std::unique_ptr<uint8_t[]> report(new uint8_t[kDecodedReportSize]);
    if (size < kDecodedReportSize) return 0;
    for (size_t offset = 0; offset + kDecodedReportSize <= size; offset += kDecodedReportSize) {
        std::memcpy(report.get(), data + offset, kDecodedReportSize);
        DecodeChecked(state, report.get());
    }
    // Holding the last report, the decoder reports each remaining difference once and
    // then falls silent: nothing is published over and over, nothing starves.
    for (int repeat = 0; repeat < kSettleReports; ++repeat) {
        if (!DecodeChecked(state, report.get())) return 0;
    }
    Fail("still publishing after the report stopped changing", state.Latest(), report.get());
}
