#include "input/decoder.h"

#include <cstring>
#include <iterator>

namespace torq {

namespace {

constexpr size_t kSwitchBytes[] = {5, 7, 9, 11, 13, 15};  // switches 1 to 6
constexpr size_t kFirstButtonByte = 1;
constexpr size_t kButtonBytes = 4;
constexpr size_t kWideSwitchOffset = 17;  // switch 8 (low half), then switch 7 (high half)
constexpr size_t kSwitch9Byte = 21;
constexpr uint8_t kSwitchRetired = 255;   // a switch reported at 255 is not examined again
constexpr int32_t kSwitch9Bias = 240;

int LowestBit(unsigned bits) {
    int i = 0;
    while ((bits & 1u) == 0u) {
        bits >>= 1;
        ++i;
    }
    return i;
}

int16_t Signed16(const uint8_t* bytes) {
    return static_cast<int16_t>(static_cast<uint16_t>(bytes[0] | (bytes[1] << 8)));
}

InputEvent SwitchEvent(int32_t number, int32_t value) {
    return InputEvent{kDeviceCode, 0, value, number};
}

}  // namespace

void InputState::Reset() {
    std::memset(lastReport_, 0, sizeof lastReport_);
    lastSwitch7_ = 0;
    lastSwitch8_ = 0;
    Publish(InputEvent{});
}

bool InputState::Decode(const uint8_t* report) {
    for (size_t s = 0; s < std::size(kSwitchBytes); ++s) {
        const size_t at = kSwitchBytes[s];
        if (lastReport_[at] == kSwitchRetired || report[at] == lastReport_[at]) {
            continue;
        }
        lastReport_[at] = report[at];
        Publish(SwitchEvent(static_cast<int32_t>(s + 1), report[at]));
        return true;
    }

    for (size_t k = kFirstButtonByte; k < kFirstButtonByte + kButtonBytes; ++k) {
        const unsigned changed = static_cast<unsigned>(report[k] ^ lastReport_[k]);
        if (changed == 0) {
            continue;
        }
        // The button that changed, even while a lower-numbered one of the byte is held,
        // so no press or release is lost and later fields are not starved.
        const int bit = LowestBit(changed);
        const auto mask = static_cast<uint8_t>(1u << bit);
        const bool pressed = (report[k] & mask) != 0;
        lastReport_[k] = static_cast<uint8_t>(pressed ? (lastReport_[k] | mask) : (lastReport_[k] & ~mask));
        const auto number = static_cast<int32_t>(8 * (k - kFirstButtonByte)) + bit + 1;
        Publish(InputEvent{kDeviceCode, 1, pressed ? bit + 1 : 0, number});
        return true;
    }

    // Switches 7 and 8 share one 32-bit field. The halves are compared with the values
    // last reported, so when both change in one report, switch 7 is reported from it
    // and switch 8 from the next report that reaches this field.
    const uint8_t* wide = report + kWideSwitchOffset;
    std::memcpy(lastReport_ + kWideSwitchOffset, wide, 4);
    const int16_t switch7 = Signed16(wide + 2);
    const int16_t switch8 = Signed16(wide);
    if (switch7 != lastSwitch7_) {
        lastSwitch7_ = switch7;
        Publish(SwitchEvent(7, switch7));
        return true;
    }
    if (switch8 != lastSwitch8_) {
        lastSwitch8_ = switch8;
        Publish(SwitchEvent(8, switch8));
        return true;
    }

    if (report[kSwitch9Byte] != lastReport_[kSwitch9Byte]) {
        lastReport_[kSwitch9Byte] = report[kSwitch9Byte];
        Publish(SwitchEvent(9, static_cast<int32_t>(report[kSwitch9Byte]) - kSwitch9Bias));
        return true;
    }
    return false;
}

}  // namespace torq
