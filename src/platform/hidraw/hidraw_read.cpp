#include "platform/hidraw/hidraw_read.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace torq::hidraw {

namespace {

constexpr short kGone = POLLERR | POLLHUP | POLLNVAL;

using Clock = std::chrono::steady_clock;

// Milliseconds left until `deadline`, rounded up so a wait never ends just short of it.
int Remaining(Clock::time_point deadline) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) {
        return 0;
    }
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<int>(std::min<long long>(ms, 0x7FFFFFFF));
}

}  // namespace

HidrawReadState::HidrawReadState(std::shared_ptr<HandleTable> handles, UniqueFd wake)
    : handles_(std::move(handles)), wake_(std::move(wake)) {}

ReadOutcome HidrawReadState::Read(HidHandle handle, uint8_t* buffer, uint32_t capacity,
                                  uint32_t timeoutMs) {
    if (woken_.load(std::memory_order_acquire)) {
        SetThreadHidError(kErrorSuccess);
        return {WaitResult::TimedOut, 0, false};
    }
    const std::shared_ptr<OpenNode> node = handles_->Find(handle);
    if (!node) {
        SetThreadHidError(kErrorInvalidHandle);
        return {WaitResult::Failed, 0, false};
    }
    if (node->mode != OpenMode::Read) {
        SetThreadHidError(kErrorAccessDenied);
        return {WaitResult::Failed, 0, false};
    }
    const bool keepNewest = Prepare(handle, *node);
    return Wait(*node, keepNewest, buffer, capacity, timeoutMs);
}

bool HidrawReadState::Prepare(HidHandle handle, const OpenNode& node) {
    if (handle != current_) {
        Forget();
        current_ = handle;
    }
    const uint32_t wanted = std::min(node.inputBuffers.load(std::memory_order_relaxed), kKernelQueueReports);
    const uint32_t limit = std::max<uint32_t>(wanted, 1);
    if (limit != limit_) {
        Forget();
        slots_.assign(limit, std::vector<uint8_t>(kMaxReportBytes));
        spare_.assign(kMaxReportBytes, 0);
        lengths_.assign(limit, 0);
        limit_ = limit;
    }
    return wanted != 0;
}

ReadOutcome HidrawReadState::Wait(OpenNode& node, bool keepNewest, uint8_t* buffer, uint32_t capacity,
                                  uint32_t timeoutMs) {
    const bool forever = timeoutMs == kWaitForever;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    // The first look does not wait: what is there already completes the read at once.
    bool first = true;
    for (;;) {
        pollfd fds[2] = {{node.fd.Get(), POLLIN, 0}, {wake_.Get(), POLLIN, 0}};
        const int wait = first ? 0 : forever ? -1 : Remaining(deadline);
        const int ready = poll(fds, 2, wait);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            SetThreadHidError(IoError(errno));
            return {WaitResult::Failed, 0, false};
        }
        if ((fds[1].revents & POLLIN) != 0 || woken_.load(std::memory_order_acquire)) {
            SetThreadHidError(kErrorSuccess);
            return {WaitResult::TimedOut, 0, false};
        }
        // An unplugged node reports POLLIN beside POLLERR|POLLHUP while a report is still
        // queued: the device is gone all the same, and so is what it left behind.
        if ((fds[0].revents & kGone) != 0) {
            Forget();
            SetThreadHidError(kErrorDeviceNotConnected);
            return {WaitResult::Failed, 0, false};
        }
        if ((fds[0].revents & POLLIN) != 0 && Drain(node, keepNewest) == Drained::Failed) {
            Forget();
            return {WaitResult::Failed, 0, false};
        }
        if (count_ > 0) {
            return Deliver(buffer, capacity, first);
        }
        if (!first && !forever && Remaining(deadline) == 0) {
            SetThreadHidError(kErrorSuccess);
            return {WaitResult::TimedOut, 0, false};
        }
        first = false;
    }
}

HidrawReadState::Drained HidrawReadState::Drain(OpenNode& node, bool keepNewest) {
    // Without a number of buffers, one report per read, in the kernel's order; with
    // one, everything the kernel holds, of which the newest `limit_` stay.
    const uint32_t reads = keepNewest ? kKernelQueueReports + limit_ : 1u;
    const size_t offset = node.prependReportId ? 1 : 0;
    bool any = false;
    for (uint32_t i = 0; i < reads;) {
        // Into the spare buffer first, so a read that brings nothing costs no kept report.
        const ssize_t n = read(node.fd.Get(), spare_.data() + offset, kMaxReportBytes - offset);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        }
        if (n <= 0) {
            // hidraw never hands over an empty report: end of file means the node is gone.
            SetThreadHidError(n == 0 ? kErrorDeviceNotConnected : IoError(errno));
            return Drained::Failed;
        }
        if (offset != 0) {
            spare_[0] = 0;
        }
        if (count_ == limit_) {  // full: the oldest makes room
            first_ = (first_ + 1) % limit_;
            --count_;
        }
        const uint32_t slot = (first_ + count_) % limit_;
        slots_[slot].swap(spare_);
        lengths_[slot] = static_cast<uint32_t>(static_cast<size_t>(n) + offset);
        ++count_;
        any = true;
        ++i;
    }
    return any ? Drained::Some : Drained::None;
}

ReadOutcome HidrawReadState::Deliver(uint8_t* buffer, uint32_t capacity, bool immediate) {
    const ReadOutcome outcome = DeliverReport(slots_[first_].data(), lengths_[first_], buffer, capacity, immediate);
    first_ = (first_ + 1) % limit_;
    --count_;
    SetThreadHidError(kErrorSuccess);
    return outcome;
}

void HidrawReadState::Forget() {
    first_ = 0;
    count_ = 0;
}

void HidrawReadState::Wake() {
    woken_.store(true, std::memory_order_release);
    const uint64_t one = 1;
    // The counter only grows until Rearm drains it; a full counter is readable anyway.
    [[maybe_unused]] const ssize_t n = write(wake_.Get(), &one, sizeof one);
}

void HidrawReadState::Rearm() {
    woken_.store(false, std::memory_order_release);
    uint64_t count = 0;
    while (read(wake_.Get(), &count, sizeof count) < 0 && errno == EINTR) {
    }
}

void HidrawReadState::Release(HidHandle handle) {
    // Reads never stay in flight between calls; only the kept reports belong to the handle.
    if (handle == current_) {
        Forget();
        current_ = kNullHandle;
    }
}

}  // namespace torq::hidraw
