// What the hidraw backend keeps per open handle, shared by the layer and its read states.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/hid_layer.h"

namespace torq::hidraw {

// A file descriptor closed with its owner.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd();
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    int Release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_ = -1;
};

// One open hidraw node. The descriptor closes when the last user lets go, so a read
// that is still looking at a handle never sees its number reused by another file.
struct OpenNode {
    UniqueFd fd;
    OpenMode mode = OpenMode::Query;
    // The HID device's directory in sysfs (the parent of the hidraw class device),
    // resolved at open; empty when the path is not a hidraw node.
    std::string hidDir;
    // The device sends no report IDs: reads put the report-ID byte 0 in front, so byte 0
    // of every report is the report ID, as on Windows.
    bool prependReportId = false;
    // The newest unread reports a read keeps (SetNumInputBuffers); 0 until it is set.
    std::atomic<uint32_t> inputBuffers{0};
};

// Handle values for open nodes: never null or invalid, never reused while the layer lives.
class HandleTable {
public:
    HidHandle Add(std::shared_ptr<OpenNode> node);
    std::shared_ptr<OpenNode> Find(HidHandle handle) const;
    // Takes the node out of the table; null for a handle the table does not hold.
    std::shared_ptr<OpenNode> Remove(HidHandle handle);

private:
    mutable std::mutex mutex_;
    std::unordered_map<HidHandle, std::shared_ptr<OpenNode>> nodes_;
    HidHandle next_ = 1;
};

// errno of a failed open() as the Windows error the device code reads.
uint32_t OpenError(int error);
// errno of a failed read(), write() or poll() on an open node. A node whose device is
// gone answers ENODEV, EIO, EPIPE and the like: those are "device not connected".
uint32_t IoError(int error);

}  // namespace torq::hidraw
