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

// Never published by the decoder: tells "no event from this report" apart.
constexpr InputEvent kSentinel{-1, -1, -1, -1};
// Differences one report can hold: 32 buttons, 9 switches (7 and 8 one after the other).
constexpr int kSettleReports = 48;

[[noreturn]] void Fail(const char* why, const InputEvent& e, const uint8_t* report) {
    std::fprintf(stderr, "decoder: %s: device=%d isButton=%d number=%d value=%d\nreport:", why,
                 e.device, e.isButton, e.number, e.value);
    for (size_t i = 0; i < kDecodedReportSize; ++i) {
        std::fprintf(stderr, " %02x", report[i]);
    }
    std::fprintf(stderr, "\n");
    std::abort();
}

int32_t Signed16(const uint8_t* bytes) {
    return static_cast<int16_t>(static_cast<uint16_t>(bytes[0] | (bytes[1] << 8)));
}

// The event must describe a field of the report that produced it.
void CheckEvent(const InputEvent& e, const uint8_t* report) {
    if (e.device != torq::kDeviceCode) {
        Fail("device code", e, report);
    }
    if (e.isButton == 1) {
        if (e.number < 1 || e.number > 32) {
            Fail("button number", e, report);
        }
        const int bit = (e.number - 1) % 8;
        const bool held = ((report[1 + (e.number - 1) / 8] >> bit) & 1) != 0;
        const bool consistent = e.value == 0 ? !held : (held && e.value == bit + 1);
        if (!consistent) {
            Fail("button value disagrees with its bit", e, report);
        }
        return;
    }
    if (e.isButton != 0) {
        Fail("isButton", e, report);
    }
    int32_t expected = 0;
    if (e.number >= 1 && e.number <= 6) {
        expected = report[5 + 2 * (e.number - 1)];
    } else if (e.number == 7) {
        expected = Signed16(report + 19);
    } else if (e.number == 8) {
        expected = Signed16(report + 17);
    } else if (e.number == 9) {
        expected = static_cast<int32_t>(report[21]) - 240;
    } else {
        Fail("switch number", e, report);
    }
    if (e.value != expected) {
        Fail("switch value disagrees with its bytes", e, report);
    }
}

// Decodes one report; true when it published an event.
bool DecodeChecked(torq::InputState& state, const uint8_t* report) {
    state.Publish(kSentinel);
    state.Decode(report);
    const InputEvent e = state.Latest();
    if (e == kSentinel) {
        return false;
    }
    CheckEvent(e, report);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    torq::InputState state;
    state.Reset();
    const std::unique_ptr<uint8_t[]> report(new uint8_t[kDecodedReportSize]);
    size_t offset = 0;
    for (; offset + kDecodedReportSize <= size; offset += kDecodedReportSize) {
        std::memcpy(report.get(), data + offset, kDecodedReportSize);
        DecodeChecked(state, report.get());
    }
    if (offset == 0) {
        return 0;
    }
    // Holding the last report, the decoder reports each remaining difference once and
    // then falls silent: nothing is published over and over, nothing starves.
    for (int repeat = 0; repeat < kSettleReports; ++repeat) {
        if (!DecodeChecked(state, report.get())) {
            return 0;
        }
    }
    Fail("still publishing after the report stopped changing", state.Latest(), report.get());
}
