// The few operating-system services besides HID that the engine needs: sleeping,
// the millisecond tick count, the timer resolution, the process-wide named guard and
// the conversion of narrow text to wide text. One implementation per platform:
// os_posix.cpp and os_win32.cpp.
#pragma once

#include <cstdint>
#include <string>

namespace torq {

void SleepMs(uint32_t milliseconds);

// Milliseconds since the system started, wrapping at 2^32 (GetTickCount).
uint32_t TickCount();

// Asks for a 1 ms system timer resolution (timeBeginPeriod(1) on Windows; Linux sleeps
// are that precise already).
void RequestTimerResolution();

// Narrow text to wide text: the ANSI code page on Windows, UTF-8 on Linux. Invalid
// bytes become U+FFFD rather than failing.
std::wstring NarrowToWide(const char* text);

// A name that every process which acquired it holds until it releases it or ends,
// however it ends; it vanishes with its last holder. Acquire() returns false when
// another process holds it.
class NamedGuard {
public:
    NamedGuard() = default;
    ~NamedGuard();
    NamedGuard(const NamedGuard&) = delete;
    NamedGuard& operator=(const NamedGuard&) = delete;

    // Creates the guard; true when this process is the first to hold the name.
    bool Acquire(const wchar_t* name);
    void Release();

private:
    intptr_t handle_ = -1;
};

}  // namespace torq
