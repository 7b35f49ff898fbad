// The setters: each encodes its part of the board into the display report.
#include "output/display.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "output/report_layout.h"

namespace torq {

using namespace layout;

void DisplayState::ClearDisplay() {
    std::memset(displayReport_, 0, kReportSize);
    const auto digits = static_cast<size_t>(std::clamp(kDigitCount, 0, static_cast<int32_t>(kPanelDigits)));
    std::memset(displayReport_ + kLeftOffset, kBlank, digits);
    std::memset(displayReport_ + kRightOffset, kBlank, digits);
    displayReport_[kGearOffset] = kBlank;
    std::memset(displayReport_ + kCentralOffset, kBlank, kPanelDigits);
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

void DisplayState::SetLeftDigits(std::string_view text) {
    const std::string_view source = (text.empty() || text.size() > kLeftMaxLength) ? kLeftDefault : text;
    CodeList codes;
    for (const char c : source) {
        if (c == '.' || c == ':') {
            codes.TogglePointOfLast();
        } else {
            codes.Append(static_cast<uint8_t>(c));
        }
    }
    codes.WriteTo(displayReport_ + kLeftOffset, kPanelDigits);
    codes.WriteTo(displayReport_ + kCentralOffset, kPanelDigits);
}

void DisplayState::SetRightDigits(std::string_view text) {
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
    const auto digits = static_cast<size_t>(std::clamp(kDigitCount, 0, static_cast<int32_t>(kPanelDigits)));
    codes.WriteTo(displayReport_ + kRightOffset, digits);
}

void DisplayState::SetPanelText(Panel panel, const char* text) {
    std::string& kept = panel == Panel::Right ? rightText_ : leftText_;
    kept = text;
    if (panel == Panel::Right) {
        SetRightDigits(kept);
    } else {
        SetLeftDigits(kept);
    }
}

void DisplayState::SetGear(uint8_t code, int32_t point) {
    displayReport_[kGearOffset] = code;
    displayReport_[kCentralOffset] = kBlank;
    displayReport_[kCentralOffset + 2] = kBlank;
    displayReport_[kCentralOffset + 1] = code;
    if (point > 0) {
        displayReport_[kGearOffset] = static_cast<uint8_t>(displayReport_[kGearOffset] + kPoint);
        displayReport_[kCentralOffset + 1] = static_cast<uint8_t>(displayReport_[kCentralOffset + 1] + kPoint);
    }
}

void DisplayState::SetLed(int32_t index, uint32_t state, LedGroup group) {
    const uint8_t value = state <= 1 ? static_cast<uint8_t>(state) : uint8_t{0};
    if (index < 0) {
        return;
    }
    if (group == LedGroup::RpmBar) {
        if (index < kRpmLedCount) {
            displayReport_[kRpmOffset + static_cast<size_t>(index)] = value;
        }
    } else if (index < kLedBankSize) {
        displayReport_[kBankOffset + static_cast<size_t>(index)] = value;
    }
}

void DisplayState::SetRumbleMotor(int32_t motorIndex, int32_t power) {
    const auto clamped = static_cast<uint8_t>(std::clamp(power, 0, 255));
    displayReport_[motorIndex == 1 ? kRumble2Offset : kRumble1Offset] = clamped;
}

}  // namespace torq
