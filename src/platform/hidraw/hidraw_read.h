// Reads on a hidraw node: poll() on the non-blocking descriptor beside an eventfd that
// Wake() signals, then one report per read().
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/hid_layer.h"
#include "platform/hidraw/hidraw_handles.h"

namespace torq::hidraw {

// hidraw's own queue per open file, and so the most reports one drain can find.
inline constexpr uint32_t kKernelQueueReports = 64;
// The longest report kept whole; longer ones are cut there (every caller asks for far less).
inline constexpr size_t kMaxReportBytes = 4096;

class HidrawReadState final : public ReadState {
public:
    HidrawReadState(std::shared_ptr<HandleTable> handles, UniqueFd wake);

    ReadOutcome Read(HidHandle handle, uint8_t* buffer, uint32_t capacity,
                     uint32_t timeoutMs) override;
    void Wake() override;
    void Rearm() override;
    void Release(HidHandle handle) override;

private:
    enum class Drained { Some, None, Failed };
    // Points the kept reports at `handle` and sizes them for the node's number of
    // buffers; true when one is set (then the newest reports are kept).
    bool Prepare(HidHandle handle, const OpenNode& node);
    // Polls the node and the wake descriptor until a report, a wake, a failure or the
    // time-out.
    ReadOutcome Wait(OpenNode& node, bool keepNewest, uint8_t* buffer, uint32_t capacity,
                     uint32_t timeoutMs);
    // Moves what the kernel holds into the kept reports; sets the thread's error on failure.
    Drained Drain(OpenNode& node, bool keepNewest);
    ReadOutcome Deliver(uint8_t* buffer, uint32_t capacity, bool immediate);
    void Forget();

    std::shared_ptr<HandleTable> handles_;
    UniqueFd wake_;  // eventfd, readable from Wake() until Rearm()
    std::atomic<bool> woken_{false};

    // The newest unread reports of `current_`, oldest first, in a ring of `limit_` slots.
    // Windows' HID driver keeps the newest N (SetNumInputBuffers); hidraw queues 64 and
    // drops the newest when full, which would leave a listener that reads slower than
    // the device sends ever further behind. Until N is set, reports go one at a time in
    // the kernel's order.
    HidHandle current_ = kNullHandle;
    std::vector<std::vector<uint8_t>> slots_;
    std::vector<uint8_t> spare_;  // where the next report is read to
    std::vector<uint32_t> lengths_;
    uint32_t limit_ = 0;
    uint32_t first_ = 0;
    uint32_t count_ = 0;
};

}  // namespace torq::hidraw
