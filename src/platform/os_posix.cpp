// Operating-system services on Linux (and other POSIX systems).
#include "platform/os.h"
#include "platform/text.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cwchar>
#include <cstring>
#include <ctime>

namespace torq {

void SleepMs(uint32_t milliseconds) {
    timespec request{static_cast<time_t>(milliseconds / 1000u),
                     static_cast<long>(milliseconds % 1000u) * 1000000L};
    while (nanosleep(&request, &request) != 0 && errno == EINTR) {
    }
}

uint32_t TickCount() {
    // Time since boot including suspend, as GetTickCount counts it.
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    const uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

void RequestTimerResolution() {
    // Linux timers already have sub-millisecond resolution.
}

std::wstring NarrowToWide(const char* text) {
    return text == nullptr ? std::wstring() : Utf8ToWideLossy(text);
}

// The guard is a name in the abstract socket namespace: the kernel drops it the moment
// its holder exits, however it exits, so no stale file can raise a false alarm.
bool NamedGuard::Acquire(const wchar_t* name) {
    Release();
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return true;  // no socket at all: nothing to compare with, stay silent
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string utf8 = WideToUtf8(name);
    const size_t length = std::min(utf8.size(), sizeof(address.sun_path) - 1);
    address.sun_path[0] = '\0';  // abstract namespace
    std::memcpy(address.sun_path + 1, utf8.data(), length);
    const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), size) != 0) {
        const bool taken = errno == EADDRINUSE;
        close(fd);
        return !taken;
    }
    handle_ = fd;
    return true;
}

void NamedGuard::Release() {
    if (handle_ >= 0) {
        close(static_cast<int>(handle_));
        handle_ = -1;
    }
}

NamedGuard::~NamedGuard() {
    Release();
}

}  // namespace torq
