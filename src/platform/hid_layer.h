// The one seam between the device code and the operating system's HID services.
//
// The device code (src/device) follows the HID steps of discovery, probing and I/O
// one call at a time; every call it makes lands here. Each backend (win32, hidraw,
// virtual) implements this interface completely in its own folder. The calls keep the
// Windows shapes and error numbers so that the device code reads the same on every
// platform: a handle can be null or invalid, a call that fails leaves an error code
// behind for LastError(), reports are byte arrays whose byte 0 is the report ID.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "platform/hid_types.h"

namespace torq {

// An opaque handle value of the active backend. Two values mean "no handle": null
// (nothing was opened) and invalid (an open was attempted and failed).
using HidHandle = std::uintptr_t;
inline constexpr HidHandle kNullHandle = 0;
inline constexpr HidHandle kInvalidHandle = ~HidHandle{0};

inline bool IsOpenHandle(HidHandle h) {
    return h != kNullHandle && h != kInvalidHandle;
}

// The three ways the channel opens one interface path.
enum class OpenMode {
    Query,  // no access rights: attributes only
    Write,  // output reports (overlapped on Windows, so a write can be given up)
    Read,   // overlapped input reports, strings and preparsed data
};

// SP_DEVICE_INTERFACE_DETAIL_DATA_W: a size field, then the zero-terminated path.
struct InterfaceDetail {
    uint32_t cbSize;
    wchar_t DevicePath[1];
};
inline constexpr uint32_t kInterfaceDetailHeaderSize = 8;  // what cbSize must hold

// The present HID interfaces, as one pass of discovery sees them.
// Destroying the object releases the set (SetupDiDestroyDeviceInfoList).
class InterfaceSet {
public:
    virtual ~InterfaceSet() = default;
    // Selects member `index`; fails (kErrorNoMoreItems) past the end, and always when
    // the set could not be made.
    virtual bool Enumerate(uint32_t index) = 0;
    // Detail of the selected member. With detail == nullptr and size 0 it fails with
    // kErrorInsufficientBuffer and reports the bytes a detail record needs; with a
    // record of that size it copies the path and reports the size again.
    virtual bool Detail(InterfaceDetail* detail, uint32_t detailSize, uint32_t* requiredSize) = 0;
};

// The parsed capabilities of one open device (HidD_GetPreparsedData).
// Destroying the object frees them (HidD_FreePreparsedData).
class PreparsedData {
public:
    virtual ~PreparsedData() = default;
    // HidP_GetCaps.
    virtual uint32_t GetCaps(HidCaps* caps) const = 0;
    // HidP_GetSpecificButtonCaps(HidP_Input, page 0, link 0, usage 0): on entry *length
    // is the capacity of `caps`, on return the number written. Returns a HidP status.
    virtual uint32_t GetInputButtonCaps(HidButtonCaps* caps, uint16_t* length) const = 0;
};

enum class WaitResult {
    Arrived,   // a report is in the buffer
    TimedOut,  // nothing within the time-out, or the wait was woken by Wake()
    Failed,    // the wait itself failed, or the device is gone
};

struct ReadOutcome {
    WaitResult wait = WaitResult::TimedOut;
    uint32_t bytes = 0;      // bytes delivered into the caller's buffer when Arrived
    bool immediate = false;  // the read completed at once (ReadFile returned with the data)
};

// The state of the reads on one read handle: the overlapped record and its event on
// Windows, an eventfd beside the hidraw descriptor on Linux, a condition on the virtual
// bus. It belongs to the listener thread, except Wake(), which any thread may call.
// At most one read is ever in flight on it; a read left outstanding by a time-out is
// taken up again by the next Read(), so a report that arrives meanwhile is not lost.
class ReadState {
public:
    virtual ~ReadState() = default;
    // Waits at most timeoutMs for one input report on `handle` and copies at most
    // `capacity` bytes of it into `buffer`, report-ID byte first.
    virtual ReadOutcome Read(HidHandle handle, uint8_t* buffer, uint32_t capacity,
                             uint32_t timeoutMs) = 0;
    // Makes a waiting Read return TimedOut at once, and every later one too until
    // Rearm(). Safe from any thread.
    virtual void Wake() = 0;
    // Lets reads wait again (the listener calls it when a run begins).
    virtual void Rearm() = 0;
    // Ends an outstanding read on `handle` before that handle is closed, so nothing
    // completes into this state afterwards.
    virtual void Release(HidHandle handle) = 0;
};

class HidLayer {
public:
    virtual ~HidLayer() = default;

    // The error code of this thread's last call into this layer (GetLastError). Every
    // call starts from 0, so a nonzero value after a success is that call's own: Windows
    // does not clear the last error on success, and an older error must not make a
    // later call count as failed.
    virtual uint32_t LastError() const = 0;

    // SetupDiGetClassDevsW(HID, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE). Never null.
    virtual std::unique_ptr<InterfaceSet> OpenInterfaceSet() = 0;

    // CreateFileW on an interface path; kInvalidHandle on failure.
    virtual HidHandle Open(const wchar_t* path, OpenMode mode) = 0;
    virtual void Close(HidHandle handle) = 0;

    virtual bool GetAttributes(HidHandle handle, HidAttributes* attributes) = 0;
    // The serial number string, zero-terminated when it fits in bufferBytes.
    virtual bool GetSerialNumberString(HidHandle handle, wchar_t* buffer, uint32_t bufferBytes) = 0;
    virtual bool SetNumInputBuffers(HidHandle handle, uint32_t count) = 0;
    // Null on failure.
    virtual std::unique_ptr<PreparsedData> GetPreparsedData(HidHandle handle) = 0;

    // One output report, blocking for a bounded time. On failure LastError() tells
    // kErrorIoPending and kErrorTimeout (the device took nothing within the bound: 1 s
    // on Windows, usbhid's 5 s on Linux) apart from the failures that mean the device
    // is unusable.
    virtual bool Write(HidHandle handle, const uint8_t* data, uint32_t length, uint32_t* written) = 0;

    // The read state for read handles of this layer; null if it cannot be made.
    virtual std::unique_ptr<ReadState> CreateReadState() = 0;
};

// One open handle of one layer, closed through that layer when it goes. Movable, not
// copyable; an open that failed gives an empty one.
class OwnedHandle {
public:
    OwnedHandle() = default;
    OwnedHandle(std::shared_ptr<HidLayer> layer, HidHandle value)
        : layer_(IsOpenHandle(value) ? std::move(layer) : nullptr), value_(layer_ ? value : kNullHandle) {}
    ~OwnedHandle() { Reset(); }
    OwnedHandle(OwnedHandle&& other) noexcept
        : layer_(std::move(other.layer_)), value_(std::exchange(other.value_, kNullHandle)) {}
    OwnedHandle& operator=(OwnedHandle&& other) noexcept {
        if (this != &other) {
            Reset();
            layer_ = std::move(other.layer_);
            value_ = std::exchange(other.value_, kNullHandle);
        }
        return *this;
    }
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;

    explicit operator bool() const { return value_ != kNullHandle; }
    // The value for the layer's calls; kNullHandle when empty.
    HidHandle Get() const { return value_; }
    void Reset() {
        if (layer_) {
            layer_->Close(value_);
            layer_.reset();
        }
        value_ = kNullHandle;
    }

private:
    std::shared_ptr<HidLayer> layer_;
    HidHandle value_ = kNullHandle;
};

// Opens `path` on `layer`; an empty handle when the open fails.
inline OwnedHandle OpenHandle(const std::shared_ptr<HidLayer>& layer, const wchar_t* path, OpenMode mode) {
    return OwnedHandle(layer, layer->Open(path, mode));
}

// The backend of this process: the operating system's unless native code has switched
// the process to a virtual bus. Each device record keeps the layer it opened its
// handles with, so switching never strands a handle on the wrong backend.
std::shared_ptr<HidLayer> ActiveHidLayer();
// Null restores the operating system's backend.
void SetActiveHidLayer(std::shared_ptr<HidLayer> layer);

// The operating system's backend (hidraw on Linux, win32 on Windows).
std::shared_ptr<HidLayer> CreateOsHidLayer();

// --- What the backends share ---------------------------------------------------

// Windows' INFINITE: a read with this time-out waits until something happens.
inline constexpr uint32_t kWaitForever = 0xFFFFFFFFu;

// The input buffers a read handle keeps until SetNumInputBuffers changes it (the
// Windows driver's default) and the bounds that call accepts.
inline constexpr uint32_t kDefaultInputBuffers = 32;
inline constexpr uint32_t kMinInputBuffers = 2;
inline constexpr uint32_t kMaxInputBuffers = 512;

// HidD_SetNumInputBuffers' check, for the backends that keep the number themselves:
// false, with kErrorInvalidParameter, for a count outside the bounds.
bool AcceptInputBufferCount(uint32_t count);

// One report handed to a reader: at most `capacity` bytes of it copied into `buffer`
// (none when `buffer` is null), as every backend's read delivers it.
ReadOutcome DeliverReport(const uint8_t* report, size_t length, uint8_t* buffer, uint32_t capacity,
                          bool immediate);

// A serial number as the HID driver copies it: as much as fits in bufferBytes, the
// terminator only when there is room.
void CopySerialNumber(const std::wstring& serial, wchar_t* buffer, uint32_t bufferBytes);
// HidD_GetSerialNumberString's answer from a known serial number, for the backends that
// make it up themselves (the copy above, and the thread's error).
bool AnswerSerialNumber(const std::wstring& serial, wchar_t* buffer, uint32_t bufferBytes);

// SetupDiGetDeviceInterfaceDetailW's answer for one interface path, for the backends
// that make it up themselves (virtual, hidraw): with no record, the size a record needs
// (failing with kErrorInsufficientBuffer); with one, the path copied into it.
bool AnswerInterfaceDetail(const std::wstring& path, InterfaceDetail* detail, uint32_t detailSize,
                           uint32_t* requiredSize);

// The thread's last error for the backends that keep their own (virtual, hidraw).
uint32_t ThreadHidError();
void SetThreadHidError(uint32_t error);

}  // namespace torq
