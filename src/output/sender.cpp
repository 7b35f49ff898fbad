// The sender: the display and brightness reports go to the device from here, each as
// one 54-byte output report, report ID 0 first.
#include <algorithm>
#include <cstring>

#include "output/display.h"
#include "output/report_layout.h"

namespace torq {

using namespace layout;

void DisplayState::SendReport() {
    if (!device_.CanSend()) {
        return;
    }
    displayReport_[kReportIdOffset] = 0x00;
    displayReport_[kCommandOffset] = kDisplayCommand;
    Transmit(displayReport_);
}

void DisplayState::Transmit(const uint8_t* report) {
    // The write works on a copy: with the interpreter lock released, other Python
    // threads may run the setters meanwhile.
    uint8_t copy[kReportSize];
    std::memcpy(copy, report, kReportSize);
    auto write = [this, &copy] {
        uint32_t written = 0;
        static_cast<void>(device_.WriteOutputReport(copy, kReportSize, &written));
    };
    if (region_ == nullptr) {
        write();
        return;
    }
    region_([](void* context) { (*static_cast<decltype(write)*>(context))(); }, &write);
}

void DisplayState::SetGlobalBrightness(int32_t level) {
    if (!device_.CanSend()) {
        return;  // not remembered: a level set while closed is never applied later
    }
    // Compared as unsigned, so a negative level means the brightest.
    const uint32_t clamped = std::min(static_cast<uint32_t>(level), kMaxBrightness);
    brightnessReport_[kReportIdOffset] = 0x00;
    brightnessReport_[kCommandOffset] = kBrightnessCommand;
    brightnessReport_[kBrightnessLevelOffset] = static_cast<uint8_t>(clamped);
    Transmit(brightnessReport_);
}

}  // namespace torq
