#include "platform/hidraw/hidraw_handles.h"

#include <unistd.h>

#include <cerrno>

namespace torq::hidraw {

UniqueFd::~UniqueFd() {
    if (fd_ >= 0) {
        // close() releases the descriptor even when it reports EINTR on Linux: no retry.
        ::close(fd_);
    }
}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
        UniqueFd old(Release());
        fd_ = other.Release();
    }
    return *this;
}

HidHandle HandleTable::Add(std::shared_ptr<OpenNode> node) {
    std::lock_guard<std::mutex> lock(mutex_);
    const HidHandle handle = next_++;
    nodes_.emplace(handle, std::move(node));
    return handle;
}

std::shared_ptr<OpenNode> HandleTable::Find(HidHandle handle) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = nodes_.find(handle);
    return it == nodes_.end() ? nullptr : it->second;
}

std::shared_ptr<OpenNode> HandleTable::Remove(HidHandle handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = nodes_.find(handle);
    if (it == nodes_.end()) {
        return nullptr;
    }
    std::shared_ptr<OpenNode> node = std::move(it->second);
    nodes_.erase(it);
    return node;
}

uint32_t OpenError(int error) {
    switch (error) {
        case EACCES:
        case EPERM:
        case EROFS:
            return kErrorAccessDenied;
        case ENOENT:
        case ENOTDIR:
        case ENODEV:  // hidraw's answer for a device that is going away
        case ENXIO:
            return kErrorFileNotFound;
        default:
            return kErrorGenFailure;
    }
}

uint32_t IoError(int error) {
    switch (error) {
        // The device is there but did not take the report in time (usbhid gives up
        // after 5 s): the report is lost, the device is not.
        case ETIMEDOUT:
            return kErrorTimeout;
        // The device is busy, or the kernel short of memory.
        case EAGAIN:
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
#endif
        case ENOMEM:
        case ENOBUFS:
            return kErrorIoPending;
        case ENODEV:
        case ENXIO:
        case ENOENT:
        case EIO:
        case EPIPE:
        case ESHUTDOWN:
        case ECONNRESET:
        case EPROTO:
        case EBADF:
            return kErrorDeviceNotConnected;
        default:
            return kErrorGenFailure;
    }
}

}  // namespace torq::hidraw
