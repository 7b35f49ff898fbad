// The process-wide choice of HID backend and the thread's last HID error.
#include "platform/hid_layer.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <utility>

namespace torq {

namespace {

// The one active backend. Null means "the operating system's, made on first use", so a
// process that never touches HID never builds an OS backend.
struct ActiveLayerSlot {
    std::mutex mutex;
    std::shared_ptr<HidLayer> layer;
};

ActiveLayerSlot& Slot() {
    static ActiveLayerSlot slot;
    return slot;
}

thread_local uint32_t tLastHidError = kErrorSuccess;

}  // namespace

std::shared_ptr<HidLayer> ActiveHidLayer() {
    ActiveLayerSlot& slot = Slot();
    std::lock_guard<std::mutex> lock(slot.mutex);
    if (!slot.layer) {
        slot.layer = CreateOsHidLayer();
    }
    return slot.layer;
}

void SetActiveHidLayer(std::shared_ptr<HidLayer> layer) {
    std::shared_ptr<HidLayer> previous;
    {
        ActiveLayerSlot& slot = Slot();
        std::lock_guard<std::mutex> lock(slot.mutex);
        previous = std::exchange(slot.layer, std::move(layer));
    }
    // The previous layer may be freed here, which must not happen under the slot's lock:
    // its destructor is free to ask for the active layer.
    previous.reset();
}

uint32_t ThreadHidError() {
    return tLastHidError;
}

void SetThreadHidError(uint32_t error) {
    tLastHidError = error;
}

bool AnswerInterfaceDetail(const std::wstring& path, InterfaceDetail* detail, uint32_t detailSize,
                           uint32_t* requiredSize) {
    const size_t pathOffset = offsetof(InterfaceDetail, DevicePath);
    const size_t needed =
        std::max<size_t>(kInterfaceDetailHeaderSize, pathOffset + (path.size() + 1) * sizeof(wchar_t));
    if (needed > UINT32_MAX) {
        SetThreadHidError(kErrorInvalidParameter);
        return false;
    }
    const auto required = static_cast<uint32_t>(needed);
    if (detail == nullptr) {
        if (detailSize != 0) {
            SetThreadHidError(kErrorInvalidParameter);
            return false;
        }
        if (requiredSize != nullptr) {
            *requiredSize = required;
        }
        SetThreadHidError(kErrorInsufficientBuffer);
        return false;
    }
    if (detailSize < kInterfaceDetailHeaderSize || detail->cbSize != kInterfaceDetailHeaderSize) {
        SetThreadHidError(kErrorInvalidParameter);
        return false;
    }
    if (requiredSize != nullptr) {
        *requiredSize = required;
    }
    if (detailSize < required) {
        SetThreadHidError(kErrorInsufficientBuffer);
        return false;
    }
    // Through bytes: the record is longer than its declared one-character array.
    std::memcpy(reinterpret_cast<unsigned char*>(detail) + pathOffset, path.c_str(),
                (path.size() + 1) * sizeof(wchar_t));
    SetThreadHidError(kErrorSuccess);
    return true;
}

bool AcceptInputBufferCount(uint32_t count) {
    if (count < kMinInputBuffers || count > kMaxInputBuffers) {
        SetThreadHidError(kErrorInvalidParameter);
        return false;
    }
    return true;
}

ReadOutcome DeliverReport(const uint8_t* report, size_t length, uint8_t* buffer, uint32_t capacity,
                          bool immediate) {
    const auto bytes = buffer == nullptr ? 0u : static_cast<uint32_t>(std::min<size_t>(length, capacity));
    if (bytes > 0) {
        std::memcpy(buffer, report, bytes);
    }
    return {WaitResult::Arrived, bytes, immediate};
}

void CopySerialNumber(const std::wstring& serial, wchar_t* buffer, uint32_t bufferBytes) {
    const size_t room = bufferBytes / sizeof(wchar_t);
    const size_t copied = std::min(room, serial.size());
    std::copy_n(serial.data(), copied, buffer);
    if (copied < room) {
        buffer[copied] = L'\0';
    }
}

bool AnswerSerialNumber(const std::wstring& serial, wchar_t* buffer, uint32_t bufferBytes) {
    if (buffer == nullptr) {
        SetThreadHidError(kErrorInvalidParameter);
        return false;
    }
    CopySerialNumber(serial, buffer, bufferBytes);
    SetThreadHidError(kErrorSuccess);
    return true;
}

}  // namespace torq
