// The dashboard's output side: the display report in wire form, the encoders and the
// sending operations.
#include <algorithm>
#include <cstring>
#include <string_view>

#include "module/manager.h"

namespace torq {

namespace {

constexpr size_t kReportIdOffset = 0;
constexpr size_t kCommandOffset = 1;
constexpr size_t kCentralOffset = 2;
constexpr size_t kRpmOffset = 5;
constexpr size_t kRumble1Offset = 14;
constexpr size_t kRumble2Offset = 15;
constexpr size_t kBankOffset = 16;
constexpr size_t kLeftOffset = 27;
constexpr size_t kRightOffset = 33;
constexpr size_t kGearOffset = 39;
constexpr size_t kBrightnessLevelOffset = 2;
constexpr uint8_t kDisplayCommand = 0x06;
constexpr uint8_t kBrightnessCommand = 0x02;
constexpr uint8_t kBlank = 0x20;
constexpr uint8_t kPoint = 0x80;
constexpr size_t kPanelDigits = 3;

}  // namespace

void CManager::SendReport() {
    if (!device.CanSend()) {
        return;
    }
    displayReport[kReportIdOffset] = 0x00;
    displayReport[kCommandOffset] = kDisplayCommand;
    Transmit(displayReport);
}

void CManager::Transmit(const uint8_t* report) {
    // The write works on a copy: with the interpreter lock released, other Python
    // threads may run the setters meanwhile.
    uint8_t copy[kReportSize];
    std::memcpy(copy, report, kReportSize);
    auto write = [this, &copy] {
        uint32_t written = 0;
        static_cast<void>(device.WriteOutputReport(copy, kReportSize, &written));
    };
    if (blockingRegion == nullptr) {
        write();
        return;
    }
    blockingRegion([](void* context) { (*static_cast<decltype(write)*>(context))(); }, &write);
}

void CManager::ClearDisplay() {
    std::memset(displayReport, 0, kReportSize);
    const auto digits = static_cast<size_t>(std::clamp(digitCount, 0, static_cast<int32_t>(kPanelDigits)));
    std::memset(displayReport + kLeftOffset, kBlank, digits);
    std::memset(displayReport + kRightOffset, kBlank, digits);
    displayReport[kGearOffset] = kBlank;
    std::memset(displayReport + kCentralOffset, kBlank, kPanelDigits);
    SendReport();
}

namespace {

// Fixed-size list of segment codes; codes past the panel's digits are computed and
// dropped, so no text length can make it grow.
class CodeList {
public:
    void Append(uint8_t code) {
        if (count_ < kPanelDigits) {
            codes_[count_] = code;
        }
        ++count_;
    }
    // Lights (or, the second time, clears) the point of the last code.
    void TogglePointOfLast() {
        if (count_ > 0 && count_ <= kPanelDigits) {
            codes_[count_ - 1] = static_cast<uint8_t>(codes_[count_ - 1] + kPoint);
        }
    }
    // Writes `digits` codes at `out`; positions without a code get 0x00.
    void WriteTo(uint8_t* out, size_t digits) const {
        for (size_t i = 0; i < digits; ++i) {
            out[i] = i < std::min(count_, kPanelDigits) ? codes_[i] : uint8_t{0};
        }
    }

private:
    uint8_t codes_[kPanelDigits] = {};
    size_t count_ = 0;
};

constexpr std::string_view kLeftDefault = "-.---";
constexpr std::string_view kRightDefault = "-:--.---";
constexpr size_t kLeftMaxLength = 8;
constexpr size_t kRightMaxLength = 12;

}  // namespace

void CManager::SetLeftDigits(std::string_view text) {
    const std::string_view source = (text.empty() || text.size() > kLeftMaxLength) ? kLeftDefault : text;
    CodeList codes;
    for (const char c : source) {
        if (c == '.' || c == ':') {
            codes.TogglePointOfLast();
        } else {
            codes.Append(static_cast<uint8_t>(c));
        }
    }
    codes.WriteTo(displayReport + kLeftOffset, kPanelDigits);
    codes.WriteTo(displayReport + kCentralOffset, kPanelDigits);
}

void CManager::SetRightDigits(std::string_view text) {
    const std::string_view source = (text.empty() || text.size() > kRightMaxLength) ? kRightDefault : text;
    // The byte after a trailing separator counts as 0x00.
    auto byteAt = [&source](size_t i) -> uint8_t {
        return i < source.size() ? static_cast<uint8_t>(source[i]) : uint8_t{0};
    };
    CodeList codes;
    size_t i = 0;
    while (i < source.size()) {
        const char c = source[i];
        if (c == ':') {
            // A colon lights the points on both sides of it.
            codes.TogglePointOfLast();
            codes.Append(static_cast<uint8_t>(byteAt(i + 1) + kPoint));
            i += 2;
        } else if (c == '.') {
            codes.TogglePointOfLast();
            codes.Append(byteAt(i + 1));
            i += 2;
        } else {
            codes.Append(static_cast<uint8_t>(c));
            i += 1;
        }
    }
    const auto digits = static_cast<size_t>(std::clamp(digitCount, 0, static_cast<int32_t>(kPanelDigits)));
    codes.WriteTo(displayReport + kRightOffset, digits);
}

void CManager::SetGear(uint8_t code, int32_t point) {
    displayReport[kGearOffset] = code;
    displayReport[kCentralOffset] = kBlank;
    displayReport[kCentralOffset + 2] = kBlank;
    displayReport[kCentralOffset + 1] = code;
    if (point > 0) {
        displayReport[kGearOffset] = static_cast<uint8_t>(displayReport[kGearOffset] + kPoint);
        displayReport[kCentralOffset + 1] = static_cast<uint8_t>(displayReport[kCentralOffset + 1] + kPoint);
    }
}

void CManager::SetLed(int32_t index, uint32_t state, LedGroup group) {
    const uint8_t value = state <= 1 ? static_cast<uint8_t>(state) : uint8_t{0};
    if (index < 0) {
        return;
    }
    if (group == LedGroup::RpmBar) {
        if (index < rpmLedCount) {
            displayReport[kRpmOffset + static_cast<size_t>(index)] = value;
        }
    } else if (index < ledBankSize) {
        displayReport[kBankOffset + static_cast<size_t>(index)] = value;
    }
}

void CManager::SetRumbleMotor(int32_t motorIndex, int32_t power) {
    const auto clamped = static_cast<uint8_t>(std::clamp(power, 0, 255));
    displayReport[motorIndex == 1 ? kRumble2Offset : kRumble1Offset] = clamped;
}

void CManager::SetGlobalBrightness(int32_t level) {
    if (maxBrightness == 0 || !device.CanSend()) {
        return;  // not remembered: a level set while closed is never applied later
    }
    // Compared as unsigned, so a negative level means the brightest.
    const uint32_t clamped = std::min(static_cast<uint32_t>(level), maxBrightness);
    brightnessReport[kReportIdOffset] = 0x00;
    brightnessReport[kCommandOffset] = kBrightnessCommand;
    brightnessReport[kBrightnessLevelOffset] = static_cast<uint8_t>(clamped);
    Transmit(brightnessReport);
}

}  // namespace torq
