// The decoder: input reports in, input events out. At most one event per report, the
// first field (in a fixed order) that differs from what has already been reported.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

namespace torq {

inline constexpr int32_t kDeviceType = 15;
inline constexpr int32_t kDeviceCode = kDeviceType * 1000;  // what every event carries
inline constexpr size_t kDecodedReportSize = 22;  // bytes 0..21 of an input report

// One input event: four signed 32-bit integers. All zero is the empty record.
struct InputEvent {
    int32_t device = 0;
    int32_t isButton = 0;
    int32_t value = 0;
    int32_t number = 0;
    bool operator==(const InputEvent&) const = default;
};

// What has been reported so far, and the latest event. The listener thread decodes and
// publishes; the Python thread reads Latest(), always whole, under a small lock.
class InputState {
public:
    InputEvent Latest() const {
        std::lock_guard<std::mutex> lock(eventLock_);
        return latestEvent_;
    }
    // Start of a listener run: nothing accounted, nothing reported.
    void Reset();
    // Decodes one report of at least kDecodedReportSize bytes; true when it published
    // an event.
    bool Decode(const uint8_t* report);

private:
    void Publish(const InputEvent& event) {
        std::lock_guard<std::mutex> lock(eventLock_);
        latestEvent_ = event;
    }

    uint8_t lastReport_[kDecodedReportSize] = {};
    int16_t lastSwitch7_ = 0;
    int16_t lastSwitch8_ = 0;
    mutable std::mutex eventLock_;
    InputEvent latestEvent_{};
};

}  // namespace torq
