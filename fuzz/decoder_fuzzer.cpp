// The input decoder against random report sequences. Each report sits in a heap block
// of exactly the decoded size, so a read past byte 21 trips AddressSanitizer; every
// event the decoder publishes must be one the board could mean by that report.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "input/decoder.h"

// Why the event cannot describe a field of the report that produced it; null when it can.
static const char* Disagreement(const torq::InputEvent& e, const uint8_t* r) {
    if (e.device != torq::kDeviceCode) return "device code";
    if (e.isButton == 1) {
        if (e.number < 1 || e.number > 32) return "button number";
        const int bit = (e.number - 1) % 8;
        const bool held = ((r[1 + (e.number - 1) / 8] >> bit) & 1) != 0;
        return (e.value == 0 ? !held : held && e.value == bit + 1) ? nullptr : "button value disagrees with its bit";
    }
    if (e.isButton != 0 || e.number < 1 || e.number > 9) return "isButton or switch number";
    // Switches 1 to 6: a byte each; 7 and 8: little-endian, signed; 9: offset by 240.
    const uint8_t* b = r + (e.number == 7 ? 19 : 17);
    const int32_t value = e.number <= 6   ? r[5 + 2 * (e.number - 1)]
                          : e.number == 9 ? r[21] - 240
                                          : static_cast<int16_t>(static_cast<uint16_t>(b[0] | (b[1] << 8)));
    return e.value == value ? nullptr : "switch value disagrees with its bytes";
}

// Decodes one report; true when it published an event. The input itself is kept by libFuzzer.
static bool DecodeChecked(torq::InputState& state, const uint8_t* r, const char* why = nullptr) {
    const bool published = state.Decode(r);
    const torq::InputEvent e = state.Latest();
    if (!why && !(published && (why = Disagreement(e, r)))) return published;
    std::fprintf(stderr, "decoder: %s: device=%d isButton=%d number=%d value=%d\n", why, e.device, e.isButton,
                 e.number, e.value);
    std::abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    torq::InputState state;
    state.Reset();
    const std::unique_ptr<uint8_t[]> report(new uint8_t[torq::kDecodedReportSize]);
    if (size < torq::kDecodedReportSize) return 0;
    for (size_t at = 0; at + torq::kDecodedReportSize <= size; at += torq::kDecodedReportSize) {
        std::memcpy(report.get(), data + at, torq::kDecodedReportSize);
        DecodeChecked(state, report.get());
    }
    // Holding the last report, the decoder reports each remaining difference once (48 at
    // most: 32 buttons, 9 switches, 7 and 8 one after the other) and then falls silent:
    // nothing is published over and over, nothing starves.
    for (int repeat = 0; repeat < 48; ++repeat) {
        if (!DecodeChecked(state, report.get())) return 0;
    }
    DecodeChecked(state, report.get(), "still publishing after the report stopped changing");
    return 0;
}
