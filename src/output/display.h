// The dashboard's output side: the display state (two output reports in wire form), the
// setters that encode into it (display.cpp) and the sender that writes it to the device
// (sender.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "device/hid_device.h"

namespace torq {

inline constexpr size_t kReportSize = 54;

// What the board has, as get_device_info reports it and the setters check it.
inline constexpr int32_t kRpmLedCount = 9;
inline constexpr int32_t kDigitCount = 3;
inline constexpr int32_t kLedBankSize = 6;
inline constexpr int32_t kExternalLedCount = 0;
inline constexpr int32_t kWarningLedCount = 6;
inline constexpr uint32_t kMaxBrightness = 254;
inline constexpr int32_t kRumbleMotorCount = 2;

enum class LedGroup { RpmBar, Bank };
enum class Panel { Left, Right };

// How a device write runs: the module hands in a function that runs work(context) with
// the interpreter lock released, so that other Python threads go on while the system
// call blocks. Null runs it in place (no interpreter: native tests).
using BlockingRegion = void (*)(void (*work)(void*), void* context);

class DisplayState {
public:
    DisplayState(CHidDevice& device, BlockingRegion region) : device_(device), region_(region) {}
    DisplayState(const DisplayState&) = delete;
    DisplayState& operator=(const DisplayState&) = delete;

    // Setters (display.cpp). The encoders read exactly the bytes of `text`, nothing past it.
    void SetLeftDigits(std::string_view text);
    void SetRightDigits(std::string_view text);
    // Keeps a copy of the panel's text and encodes it; std::bad_alloc leaves both as they were.
    void SetPanelText(Panel panel, const char* text);
    void SetGear(uint8_t code, int32_t point);
    void SetLed(int32_t index, uint32_t state, LedGroup group);
    void SetRumbleMotor(int32_t motorIndex, int32_t power);

    // Sending (sender.cpp). These need the owner's I/O lock (CEngine::ioLock) held.
    void SendReport();
    void ClearDisplay();
    void SetGlobalBrightness(int32_t level);

    // The reports in wire form, 54 bytes each.
    uint8_t* Report() { return displayReport_; }
    uint8_t* BrightnessReport() { return brightnessReport_; }
    BlockingRegion Region() const { return region_; }

private:
    // Writes a copy of one 54-byte report, inside the blocking region.
    void Transmit(const uint8_t* report);

    CHidDevice& device_;
    BlockingRegion region_;
    uint8_t displayReport_[kReportSize] = {};
    uint8_t brightnessReport_[kReportSize] = {};
    std::string leftText_;
    std::string rightText_;
};

}  // namespace torq
