// The Windows HID backend: SetupAPI for the interface set, hid.dll for attributes,
// strings and capabilities, kernel file handles for the I/O.
//
// The last-error rule of discovery (a call that succeeds but leaves GetLastError
// nonzero counts as failed) needs a last error that belongs to the call just made.
// Windows does not clear the last error on success for every call (WriteFile and
// CreateFileW may leave an older value behind, and a successful second detail query
// would still show the 122 of the first), so every call whose last error the device
// code looks at starts from SetLastError(0).
#include <windows.h>
#include <setupapi.h>
// mingw-w64's hidsdi.h and hidpi.h declare C functions without extern "C" guards.
extern "C" {
#include <hidsdi.h>
}

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <vector>

#include "platform/hid_layer.h"

namespace torq {

// The shared records are passed to the system as they are: they must be its own
// layouts, field for field.
#define TORQ_SAME_FIELD(Ours, Theirs, field)                                      \
    static_assert(offsetof(Ours, field) == offsetof(Theirs, field) &&             \
                      sizeof(Ours::field) == sizeof(Theirs::field),               \
                  #Ours "::" #field " must sit where " #Theirs " keeps it")

static_assert(sizeof(HidCaps) == sizeof(HIDP_CAPS));
TORQ_SAME_FIELD(HidCaps, HIDP_CAPS, Usage);
TORQ_SAME_FIELD(HidCaps, HIDP_CAPS, UsagePage);
TORQ_SAME_FIELD(HidCaps, HIDP_CAPS, InputReportByteLength);
TORQ_SAME_FIELD(HidCaps, HIDP_CAPS, OutputReportByteLength);
TORQ_SAME_FIELD(HidCaps, HIDP_CAPS, FeatureReportByteLength);
TORQ_SAME_FIELD(HidCaps, HIDP_CAPS, Reserved);
TORQ_SAME_FIELD(HidCaps, HIDP_CAPS, NumberLinkCollectionNodes);
TORQ_SAME_FIELD(HidCaps, HIDP_CAPS, NumberInputButtonCaps);
TORQ_SAME_FIELD(HidCaps, HIDP_CAPS, NumberInputValueCaps);
TORQ_SAME_FIELD(HidCaps, HIDP_CAPS, NumberInputDataIndices);
TORQ_SAME_FIELD(HidCaps, HIDP_CAPS, NumberOutputButtonCaps);
TORQ_SAME_FIELD(HidCaps, HIDP_CAPS, NumberOutputValueCaps);
TORQ_SAME_FIELD(HidCaps, HIDP_CAPS, NumberOutputDataIndices);
TORQ_SAME_FIELD(HidCaps, HIDP_CAPS, NumberFeatureButtonCaps);
TORQ_SAME_FIELD(HidCaps, HIDP_CAPS, NumberFeatureValueCaps);
TORQ_SAME_FIELD(HidCaps, HIDP_CAPS, NumberFeatureDataIndices);

static_assert(sizeof(HidButtonCaps) == sizeof(HIDP_BUTTON_CAPS));
TORQ_SAME_FIELD(HidButtonCaps, HIDP_BUTTON_CAPS, UsagePage);
TORQ_SAME_FIELD(HidButtonCaps, HIDP_BUTTON_CAPS, ReportID);
TORQ_SAME_FIELD(HidButtonCaps, HIDP_BUTTON_CAPS, IsAlias);
TORQ_SAME_FIELD(HidButtonCaps, HIDP_BUTTON_CAPS, BitField);
TORQ_SAME_FIELD(HidButtonCaps, HIDP_BUTTON_CAPS, LinkCollection);
TORQ_SAME_FIELD(HidButtonCaps, HIDP_BUTTON_CAPS, LinkUsage);
TORQ_SAME_FIELD(HidButtonCaps, HIDP_BUTTON_CAPS, LinkUsagePage);
TORQ_SAME_FIELD(HidButtonCaps, HIDP_BUTTON_CAPS, IsRange);
TORQ_SAME_FIELD(HidButtonCaps, HIDP_BUTTON_CAPS, IsStringRange);
TORQ_SAME_FIELD(HidButtonCaps, HIDP_BUTTON_CAPS, IsDesignatorRange);
TORQ_SAME_FIELD(HidButtonCaps, HIDP_BUTTON_CAPS, IsAbsolute);
// Older headers (mingw-w64) call ReportCount, Reserved2 and Reserved one ULONG[10].
static_assert(offsetof(HidButtonCaps, ReportCount) == offsetof(HIDP_BUTTON_CAPS, IsAbsolute) + 1);
TORQ_SAME_FIELD(HidButtonCaps, HIDP_BUTTON_CAPS, Range.UsageMin);
TORQ_SAME_FIELD(HidButtonCaps, HIDP_BUTTON_CAPS, Range.UsageMax);
TORQ_SAME_FIELD(HidButtonCaps, HIDP_BUTTON_CAPS, Range.DataIndexMax);
TORQ_SAME_FIELD(HidButtonCaps, HIDP_BUTTON_CAPS, NotRange.Usage);
TORQ_SAME_FIELD(HidButtonCaps, HIDP_BUTTON_CAPS, NotRange.DataIndex);

static_assert(sizeof(HidValueCaps) == sizeof(HIDP_VALUE_CAPS));
TORQ_SAME_FIELD(HidValueCaps, HIDP_VALUE_CAPS, UsagePage);
TORQ_SAME_FIELD(HidValueCaps, HIDP_VALUE_CAPS, BitField);
TORQ_SAME_FIELD(HidValueCaps, HIDP_VALUE_CAPS, IsAbsolute);
TORQ_SAME_FIELD(HidValueCaps, HIDP_VALUE_CAPS, HasNull);
TORQ_SAME_FIELD(HidValueCaps, HIDP_VALUE_CAPS, BitSize);
TORQ_SAME_FIELD(HidValueCaps, HIDP_VALUE_CAPS, ReportCount);
TORQ_SAME_FIELD(HidValueCaps, HIDP_VALUE_CAPS, UnitsExp);
TORQ_SAME_FIELD(HidValueCaps, HIDP_VALUE_CAPS, LogicalMin);
TORQ_SAME_FIELD(HidValueCaps, HIDP_VALUE_CAPS, PhysicalMax);
TORQ_SAME_FIELD(HidValueCaps, HIDP_VALUE_CAPS, Range.UsageMin);
TORQ_SAME_FIELD(HidValueCaps, HIDP_VALUE_CAPS, NotRange.Reserved4);

static_assert(sizeof(HidAttributes) == sizeof(HIDD_ATTRIBUTES));
TORQ_SAME_FIELD(HidAttributes, HIDD_ATTRIBUTES, Size);
TORQ_SAME_FIELD(HidAttributes, HIDD_ATTRIBUTES, VendorID);
TORQ_SAME_FIELD(HidAttributes, HIDD_ATTRIBUTES, ProductID);
TORQ_SAME_FIELD(HidAttributes, HIDD_ATTRIBUTES, VersionNumber);

static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) == kInterfaceDetailHeaderSize);
TORQ_SAME_FIELD(InterfaceDetail, SP_DEVICE_INTERFACE_DETAIL_DATA_W, cbSize);
TORQ_SAME_FIELD(InterfaceDetail, SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 32, "64-bit interface data");

static_assert(sizeof(HANDLE) == sizeof(HidHandle));
static_assert(kHidpStatusSuccess == static_cast<uint32_t>(HIDP_STATUS_SUCCESS));
static_assert(kErrorInsufficientBuffer == static_cast<uint32_t>(ERROR_INSUFFICIENT_BUFFER));
static_assert(kErrorNoMoreItems == static_cast<uint32_t>(ERROR_NO_MORE_ITEMS));
static_assert(kErrorIoPending == static_cast<uint32_t>(ERROR_IO_PENDING));
static_assert(kErrorDeviceNotConnected == static_cast<uint32_t>(ERROR_DEVICE_NOT_CONNECTED));
static_assert(kErrorTimeout == static_cast<uint32_t>(ERROR_TIMEOUT));

// How long a write may wait for the device to take the report.
constexpr DWORD kWriteTimeoutMs = 1000;

#undef TORQ_SAME_FIELD

namespace {

HANDLE ToHandle(HidHandle handle) {
    return handle == kInvalidHandle ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(handle);
}

HidHandle FromHandle(HANDLE handle) {
    return handle == INVALID_HANDLE_VALUE ? kInvalidHandle : reinterpret_cast<HidHandle>(handle);
}

struct HandleCloser {
    void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using UniqueHandle = std::unique_ptr<std::remove_pointer_t<HANDLE>, HandleCloser>;

class Win32InterfaceSet final : public InterfaceSet {
public:
    Win32InterfaceSet() {
        HidD_GetHidGuid(&hidGuid_);
        SetLastError(ERROR_SUCCESS);
        set_ = SetupDiGetClassDevsW(&hidGuid_, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        if (set_ == INVALID_HANDLE_VALUE) {
            const DWORD error = GetLastError();
            setError_ = error != ERROR_SUCCESS ? error : static_cast<DWORD>(ERROR_INVALID_HANDLE);
        }
    }

    ~Win32InterfaceSet() override {
        if (set_ != INVALID_HANDLE_VALUE) {
            SetupDiDestroyDeviceInfoList(set_);
        }
    }

    Win32InterfaceSet(const Win32InterfaceSet&) = delete;
    Win32InterfaceSet& operator=(const Win32InterfaceSet&) = delete;

    bool Enumerate(uint32_t index) override {
        interfaceData_ = {};
        interfaceData_.cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
        if (set_ == INVALID_HANDLE_VALUE) {
            // The set could not be made: the pass ends at its first enumeration.
            SetLastError(setError_);
            return false;
        }
        SetLastError(ERROR_SUCCESS);
        return SetupDiEnumDeviceInterfaces(set_, nullptr, &hidGuid_, index, &interfaceData_) != FALSE;
    }

    bool Detail(InterfaceDetail* detail, uint32_t detailSize, uint32_t* requiredSize) override {
        // Set again before each query, as the first query may have touched it.
        interfaceData_.cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
        DWORD required = 0;
        SetLastError(ERROR_SUCCESS);
        const BOOL ok = SetupDiGetDeviceInterfaceDetailW(
            set_, &interfaceData_, reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(detail),
            detailSize, &required, nullptr);
        if (requiredSize != nullptr) {
            *requiredSize = required;
        }
        return ok != FALSE;
    }

private:
    GUID hidGuid_{};
    HDEVINFO set_ = INVALID_HANDLE_VALUE;
    DWORD setError_ = ERROR_SUCCESS;
    SP_DEVICE_INTERFACE_DATA interfaceData_{};
};

class Win32PreparsedData final : public PreparsedData {
public:
    Win32PreparsedData() = default;
    ~Win32PreparsedData() override {
        if (data_ != nullptr) {
            HidD_FreePreparsedData(data_);
        }
    }
    Win32PreparsedData(const Win32PreparsedData&) = delete;
    Win32PreparsedData& operator=(const Win32PreparsedData&) = delete;

    uint32_t GetCaps(HidCaps* caps) const override {
        return static_cast<uint32_t>(HidP_GetCaps(data_, reinterpret_cast<PHIDP_CAPS>(caps)));
    }

    uint32_t GetInputButtonCaps(HidButtonCaps* caps, uint16_t* length) const override {
        USHORT count = *length;
        const NTSTATUS status = HidP_GetSpecificButtonCaps(
            HidP_Input, 0, 0, 0, reinterpret_cast<PHIDP_BUTTON_CAPS>(caps), &count, data_);
        *length = count;
        return static_cast<uint32_t>(status);
    }

    PHIDP_PREPARSED_DATA data_ = nullptr;
};

// The overlapped reads of one read handle.
//
// The read goes into a buffer of this state, never the caller's: a read left
// outstanding by a time-out completes later, when the caller's buffer has long been
// reused. At most one read is in flight: the next Read() takes up an outstanding one
// instead of starting another on the same OVERLAPPED.
//
// Wake() cancels an outstanding read (CancelIoEx); its completion signals the event the
// reader waits on, so a stop never sits out the time-out. The flag and the cancel are
// under the same lock as the start of a read, so a wake either comes before the read
// starts (and the read is not started) or finds it in flight (and cancels it): none is
// lost. Release() and the destructor cancel and then wait for the completion, so the
// system never writes into the OVERLAPPED or the buffer after they are gone.
class Win32ReadState final : public ReadState {
public:
    explicit Win32ReadState(UniqueHandle event) : event_(std::move(event)) {
        overlapped_.hEvent = event_.get();
        // Room for any report the listener takes, so reads do not allocate.
        data_.resize(256);
    }

    ~Win32ReadState() override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (pending_) {
            EndOutstandingRead();
        }
    }

    Win32ReadState(const Win32ReadState&) = delete;
    Win32ReadState& operator=(const Win32ReadState&) = delete;

    ReadOutcome Read(HidHandle handle, uint8_t* buffer, uint32_t capacity, uint32_t timeoutMs) override {
        const HANDLE file = ToHandle(handle);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (woken_) {
                return Finish(TimedOut());
            }
            if (pending_ && readingOn_ != file) {
                EndOutstandingRead();  // left on a handle that was closed without Release()
            }
            if (pending_ && HasOverlappedIoCompleted(&overlapped_)) {
                // The outstanding read ended while no one waited (its event may have been
                // reset since): take its result, unless it was only our own cancel.
                if (std::optional<ReadOutcome> outcome = Complete(buffer, capacity)) {
                    return Finish(*outcome);
                }
            }
            if (!pending_) {
                if (std::optional<ReadOutcome> outcome = Start(file, capacity, buffer)) {
                    return Finish(*outcome);
                }
            }
        }
        // Outside the lock, so that Wake() can cancel the read while this thread waits.
        const DWORD wait = WaitForSingleObject(event_.get(), timeoutMs);
        const DWORD waitError = wait == WAIT_FAILED ? GetLastError() : ERROR_SUCCESS;

        std::lock_guard<std::mutex> lock(mutex_);
        switch (wait) {
            case WAIT_OBJECT_0:
                if (!HasOverlappedIoCompleted(&overlapped_)) {
                    return Finish(TimedOut());  // signalled but not done: taken up next time
                }
                return Finish(Complete(buffer, capacity).value_or(TimedOut()));
            case WAIT_TIMEOUT:
                // The read stays outstanding; the next Read() takes it up.
                return Finish(TimedOut());
            default:
                SetLastError(waitError != ERROR_SUCCESS ? waitError : static_cast<DWORD>(ERROR_GEN_FAILURE));
                return Finish({WaitResult::Failed, 0, false});
        }
    }

    void Wake() override {
        std::lock_guard<std::mutex> lock(mutex_);
        woken_ = true;
        if (pending_ && !cancelRequested_) {
            // Fails with ERROR_NOT_FOUND when the read has just completed; the reader
            // then finds the completion, which is as good.
            if (CancelIoEx(readingOn_, &overlapped_)) {
                cancelRequested_ = true;
            }
        }
    }

    void Rearm() override {
        std::lock_guard<std::mutex> lock(mutex_);
        woken_ = false;
    }

    void Release(HidHandle handle) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (pending_ && readingOn_ == ToHandle(handle)) {
            EndOutstandingRead();
        }
    }

private:
    static ReadOutcome TimedOut() {
        SetLastError(ERROR_SUCCESS);
        return {WaitResult::TimedOut, 0, false};
    }

    // Every read ends with the event reset. Caller holds the lock.
    ReadOutcome Finish(const ReadOutcome& outcome) {
        const DWORD error = GetLastError();
        ResetEvent(event_.get());
        SetLastError(error);
        return outcome;
    }

    // Starts a read. Returns its outcome when it is over at once (completed or failed),
    // nullopt when it is pending. Caller holds the lock.
    std::optional<ReadOutcome> Start(HANDLE file, uint32_t capacity, uint8_t* buffer) {
        if (data_.size() < capacity) {
            data_.resize(capacity);
        }
        const HANDLE event = overlapped_.hEvent;
        overlapped_ = {};
        overlapped_.hEvent = event;
        DWORD transferred = 0;
        SetLastError(ERROR_SUCCESS);
        if (ReadFile(file, data_.data(), capacity, &transferred, &overlapped_)) {
            return Deliver(transferred, buffer, capacity, true);
        }
        const DWORD error = GetLastError();
        if (error == ERROR_IO_PENDING) {
            pending_ = true;
            readingOn_ = file;
            cancelRequested_ = false;
            return std::nullopt;
        }
        if (error == ERROR_MORE_DATA) {
            return Deliver(transferred, buffer, capacity, true);
        }
        // The read could not even start (device gone, handle closed): the same as a
        // failed wait, so the channel marks itself disconnected.
        SetLastError(error);
        return ReadOutcome{WaitResult::Failed, 0, false};
    }

    // Takes the result of the outstanding read, which has completed. nullopt when it
    // was cancelled by Wake() and brought nothing. Caller holds the lock.
    std::optional<ReadOutcome> Complete(uint8_t* buffer, uint32_t capacity) {
        DWORD transferred = 0;
        SetLastError(ERROR_SUCCESS);
        const BOOL ok = GetOverlappedResult(readingOn_, &overlapped_, &transferred, FALSE);
        const DWORD error = ok ? static_cast<DWORD>(ERROR_SUCCESS) : GetLastError();
        if (!ok && error == ERROR_IO_INCOMPLETE) {
            return TimedOut();
        }
        pending_ = false;
        const bool cancelled = cancelRequested_;
        cancelRequested_ = false;
        // A report longer than the read is cut to its length, as the other backends do.
        if (ok || error == ERROR_MORE_DATA) {
            return Deliver(transferred, buffer, capacity, false);
        }
        if (error == ERROR_OPERATION_ABORTED && cancelled) {
            SetLastError(ERROR_SUCCESS);
            return std::nullopt;
        }
        SetLastError(error);
        return ReadOutcome{WaitResult::Failed, 0, false};
    }

    ReadOutcome Deliver(DWORD transferred, uint8_t* buffer, uint32_t capacity, bool immediate) {
        SetLastError(ERROR_SUCCESS);
        return DeliverReport(data_.data(), std::min<size_t>(transferred, data_.size()), buffer, capacity, immediate);
    }

    // Cancels the outstanding read and waits until the system is done with it. Caller
    // holds the lock.
    void EndOutstandingRead() {
        const DWORD error = GetLastError();
        CancelIoEx(readingOn_, &overlapped_);  // ERROR_NOT_FOUND when it ended already
        DWORD transferred = 0;
        GetOverlappedResult(readingOn_, &overlapped_, &transferred, TRUE);
        pending_ = false;
        cancelRequested_ = false;
        readingOn_ = nullptr;
        ResetEvent(event_.get());
        SetLastError(error);
    }

    std::mutex mutex_;
    UniqueHandle event_;  // manual reset, created signalled; reset at the end of every read
    OVERLAPPED overlapped_{};
    std::vector<uint8_t> data_;
    HANDLE readingOn_ = nullptr;  // the handle of the outstanding read
    bool pending_ = false;
    bool cancelRequested_ = false;
    bool woken_ = false;
};

class Win32HidLayer final : public HidLayer {
public:
    uint32_t LastError() const override { return GetLastError(); }

    std::unique_ptr<InterfaceSet> OpenInterfaceSet() override {
        return std::make_unique<Win32InterfaceSet>();
    }

    HidHandle Open(const wchar_t* path, OpenMode mode) override {
        DWORD access = 0;
        DWORD flags = 0;
        switch (mode) {
            case OpenMode::Query:
                break;
            case OpenMode::Write:
                access = GENERIC_WRITE;
                flags = FILE_FLAG_OVERLAPPED;  // so that a write can be given up (Write)
                break;
            case OpenMode::Read:
                access = GENERIC_READ;
                flags = FILE_FLAG_OVERLAPPED;
                break;
        }
        SetLastError(ERROR_SUCCESS);
        return FromHandle(CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, flags, nullptr));
    }

    void Close(HidHandle handle) override { CloseHandle(ToHandle(handle)); }

    bool GetAttributes(HidHandle handle, HidAttributes* attributes) override {
        SetLastError(ERROR_SUCCESS);
        return HidD_GetAttributes(ToHandle(handle), reinterpret_cast<PHIDD_ATTRIBUTES>(attributes)) != FALSE;
    }

    bool GetSerialNumberString(HidHandle handle, wchar_t* buffer, uint32_t bufferBytes) override {
        SetLastError(ERROR_SUCCESS);
        return HidD_GetSerialNumberString(ToHandle(handle), buffer, bufferBytes) != FALSE;
    }

    bool SetNumInputBuffers(HidHandle handle, uint32_t count) override {
        SetLastError(ERROR_SUCCESS);
        return HidD_SetNumInputBuffers(ToHandle(handle), count) != FALSE;
    }

    std::unique_ptr<PreparsedData> GetPreparsedData(HidHandle handle) override {
        // The owner first, so the data cannot leak if it could not be made afterwards.
        auto preparsed = std::make_unique<Win32PreparsedData>();
        SetLastError(ERROR_SUCCESS);
        if (!HidD_GetPreparsedData(ToHandle(handle), &preparsed->data_)) {
            return nullptr;
        }
        return preparsed;
    }

    // A synchronous WriteFile to a device that keeps refusing the transfer can block
    // without limit; this one waits at most kWriteTimeoutMs and then cancels. Only one
    // write is ever in flight on a handle (the engine's I/O lock), and the OVERLAPPED
    // and the data stay until the system is done with them.
    bool Write(HidHandle handle, const uint8_t* data, uint32_t length, uint32_t* written) override {
        if (written != nullptr) {
            *written = 0;
        }
        SetLastError(ERROR_SUCCESS);
        UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!event) {
            return false;
        }
        const HANDLE file = ToHandle(handle);
        OVERLAPPED overlapped{};
        overlapped.hEvent = event.get();
        DWORD transferred = 0;
        SetLastError(ERROR_SUCCESS);
        BOOL ok = WriteFile(file, data, length, &transferred, &overlapped);
        if (!ok && GetLastError() == ERROR_IO_PENDING) {
            const bool timedOut = WaitForSingleObject(event.get(), kWriteTimeoutMs) != WAIT_OBJECT_0;
            if (timedOut) {
                CancelIoEx(file, &overlapped);  // ERROR_NOT_FOUND when it has just ended
            }
            SetLastError(ERROR_SUCCESS);
            ok = GetOverlappedResult(file, &overlapped, &transferred, TRUE);
            if (!ok && timedOut && GetLastError() == ERROR_OPERATION_ABORTED) {
                SetLastError(static_cast<DWORD>(kErrorTimeout));  // nothing went out
            }
        }
        if (written != nullptr) {
            *written = transferred;
        }
        return ok != FALSE;
    }

    std::unique_ptr<ReadState> CreateReadState() override {
        // Manual reset, initially signalled, unnamed.
        SetLastError(ERROR_SUCCESS);
        UniqueHandle event(CreateEventW(nullptr, TRUE, TRUE, nullptr));
        if (!event) {
            return nullptr;
        }
        return std::make_unique<Win32ReadState>(std::move(event));
    }
};

}  // namespace

std::shared_ptr<HidLayer> CreateOsHidLayer() {
    return std::make_shared<Win32HidLayer>();
}

}  // namespace torq
