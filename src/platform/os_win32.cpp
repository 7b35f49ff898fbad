// Operating-system services on Windows.
#include "platform/os.h"

#include <windows.h>
#include <mmsystem.h>

#include <climits>
#include <cstring>
#include <stdexcept>

namespace torq {

void SleepMs(uint32_t milliseconds) {
    Sleep(milliseconds);
}

uint32_t TickCount() {
    return GetTickCount();
}

void RequestTimerResolution() {
    // Never given back: the 1 ms resolution must hold while any engine lives, and the
    // system drops the request when the process ends.
    timeBeginPeriod(1);
}

std::wstring NarrowToWide(const char* text) {
    if (text == nullptr || *text == '\0') {
        return {};
    }
    const size_t length = std::strlen(text);
    if (length > static_cast<size_t>(INT_MAX)) {
        throw std::length_error("text too long to convert");
    }
    const int bytes = static_cast<int>(length);
    // Without MB_ERR_INVALID_CHARS, bytes the code page does not define become its
    // default character instead of failing the conversion.
    const int chars = MultiByteToWideChar(CP_ACP, 0, text, bytes, nullptr, 0);
    if (chars <= 0) {
        return {};
    }
    std::wstring wide(static_cast<size_t>(chars), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, bytes, wide.data(), chars);
    return wide;
}

// A named mutex: the name lives as long as a process holds a handle on it, and the
// system closes the handles of a process that ends, however it ends. The mutex is only
// created, never waited on: "already exists" is all that is asked of it.
bool NamedGuard::Acquire(const wchar_t* name) {
    Release();
    SetLastError(ERROR_SUCCESS);
    const HANDLE mutex = CreateMutexW(nullptr, FALSE, name);
    const DWORD error = GetLastError();
    if (mutex == nullptr) {
        return true;  // no mutex at all: nothing to compare with, stay silent
    }
    handle_ = reinterpret_cast<intptr_t>(mutex);
    return error != ERROR_ALREADY_EXISTS;
}

void NamedGuard::Release() {
    if (handle_ != -1) {
        const HANDLE mutex = reinterpret_cast<HANDLE>(handle_);
        ReleaseMutex(mutex);  // never owned, so this does nothing; closing is what counts
        CloseHandle(mutex);
        handle_ = -1;
    }
}

NamedGuard::~NamedGuard() {
    Release();
}

}  // namespace torq
