// Operating-system services on Linux (and other POSIX systems).
#include "platform/os.h"
#include "platform/text.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <string>

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

namespace {

// The user's runtime directory holds the guard's file; without one, /tmp under a name
// of the user's own.
std::string GuardPath(const std::string& name) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') {
        return std::string(runtime) + "/" + name + ".lock";
    }
    return "/tmp/" + name + "-" + std::to_string(getuid()) + ".lock";
}

bool LockWholeFile(int fd, short type, int command) {
    struct flock lock {};  // l_pid must stay 0 for open-file-description locks
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    return fcntl(fd, command, &lock) == 0;
}

}  // namespace

// Like a handle on a named mutex, every process that loads the library holds a read lock
// on the guard's file, so the guard lives while any holder does, and the kernel drops a
// lock the moment its process ends, however it ends: the file that stays behind raises no
// false alarm. A process that can take a write lock sees no other holder; it turns that
// lock into a read lock in one step, so no newcomer finds the guard free in between.
// The locks belong to the open file description: a child made by fork holds it too, a
// program started by exec does not (close-on-exec).
bool NamedGuard::Acquire(const wchar_t* name) {
    Release();
    const int fd = open(GuardPath(WideToUtf8(name)).c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        return true;  // no file at all: nothing to compare with, stay silent
    }
    handle_ = fd;
    if (LockWholeFile(fd, F_WRLCK, F_OFD_SETLK)) {
        if (!LockWholeFile(fd, F_RDLCK, F_OFD_SETLK)) {
            Release();  // never leave a write lock behind: later processes wait on it
        }
        return true;
    }
    if (errno != EAGAIN && errno != EACCES) {
        Release();
        return true;
    }
    // Taken. The first holder may be between its write lock and the change to a read
    // lock, which takes no time: wait for that.
    while (!LockWholeFile(fd, F_RDLCK, F_OFD_SETLKW) && errno == EINTR) {
    }
    return false;
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
