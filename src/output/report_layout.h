// Where each part of the board sits in the two output reports (54 bytes, report ID 0
// first), for the setters and the sender alike.
#pragma once

#include <cstddef>
#include <cstdint>

namespace torq::layout {

inline constexpr size_t kReportIdOffset = 0;
inline constexpr size_t kCommandOffset = 1;
inline constexpr uint8_t kDisplayCommand = 0x06;
inline constexpr uint8_t kBrightnessCommand = 0x02;

// The display report.
inline constexpr size_t kCentralOffset = 2;
inline constexpr size_t kRpmOffset = 5;
inline constexpr size_t kRumble1Offset = 14;
inline constexpr size_t kRumble2Offset = 15;
inline constexpr size_t kBankOffset = 16;
inline constexpr size_t kLeftOffset = 27;
inline constexpr size_t kRightOffset = 33;
inline constexpr size_t kGearOffset = 39;
inline constexpr size_t kPanelDigits = 3;
inline constexpr uint8_t kBlank = 0x20;  // a dark digit
inline constexpr uint8_t kPoint = 0x80;  // added to a digit's code: its decimal point

// The brightness report.
inline constexpr size_t kBrightnessLevelOffset = 2;

}  // namespace torq::layout
