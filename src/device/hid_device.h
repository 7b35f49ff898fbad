// CHidDevice: the record of the one HID device an engine drives, and its I/O channel.
//
// Three handles on one interface path (attribute queries, blocking writes, waited
// reads), the identity read at open, the capability probe, and the discovery pass
// that finds the board among the present HID interfaces. Every operating-system call
// goes through the HidLayer that was active when the pass ran.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/hid_layer.h"

namespace torq {

inline constexpr uint32_t kBoardVendorId = 0x1DD2;
inline constexpr uint32_t kBoardProductId = 0x2011;
inline constexpr uint32_t kInitialProductId = 0x0103;  // what a new record targets until init

inline constexpr size_t kModuleKeyBlockSize = 1648;
inline constexpr size_t kKeyBlockEnumCallsOffset = 12;
inline constexpr size_t kKeyBlockOpenedOffset = 16;
inline constexpr size_t kKeyBlockSerialOffset = 608;
inline constexpr size_t kKeyBlockSerialUnits = 127;  // UTF-16LE, the zero included

inline constexpr size_t kInputReportCapacity = 256;  // the listener's buffer and prevInputReport
inline constexpr uint32_t kReadTimeoutMs = 2000;
inline constexpr size_t kSerialChars = 126;
inline constexpr size_t kFirmwareChars = 16;

// How far discovery got with the interface it took.
enum class OpenState { None, Handles, Ready };

// One read of the channel.
enum class ReadResult {
    Changed,    // a report that differs from the one before
    Unchanged,  // nothing new: a repeat, a time-out or a woken wait
    Failed,     // the wait failed: the device counts as disconnected from now on
};

class CHidDevice {
public:
    // Zeroes the kModuleKeyBlockSize bytes at `keyBlock`, which discovery fills; with
    // none given the record keeps a block of its own.
    explicit CHidDevice(uint8_t* keyBlock = nullptr);
    ~CHidDevice();
    CHidDevice(const CHidDevice&) = delete;
    CHidDevice& operator=(const CHidDevice&) = delete;

    // One discovery pass; OpenState::Ready when the board is open.
    OpenState DiscoverAndOpen();
    // True when the capabilities were read; `destination` receives a copy of them.
    bool ProbeCapabilities(HidCaps& destination);
    ReadResult ReadInputReport(uint8_t* buffer, uint32_t length, uint32_t* bytesRead);
    // True when the report was written.
    bool WriteOutputReport(const uint8_t* buffer, uint32_t length, uint32_t* bytesWritten);
    void CloseDevice();

    // The listener's stop signal: a waiting read returns at once, and so does every
    // later one until RearmReads().
    void WakeReads();
    void RearmReads();

    // True when the display side may send: a device is open for output.
    bool CanSend() const { return static_cast<bool>(writeHandle_); }
    // True when the listener may read.
    bool CanRead() const { return readHandle_ && Connected(); }

    // The three handles on the open interface (kNullHandle when closed).
    HidHandle QueryHandle() const { return queryHandle_.Get(); }
    HidHandle WriteHandle() const { return writeHandle_.Get(); }
    HidHandle ReadHandle() const { return readHandle_.Get(); }
    OpenState State() const { return openState_; }

    // What discovery looks for: the vendor and product, and the serial number when the
    // filter is not empty.
    void SetTarget(uint32_t vendorId, uint32_t productId) {
        targetVendorId_ = vendorId;
        targetProductId_ = productId;
    }
    void SetSerialFilter(std::wstring filter) { serialFilter_ = std::move(filter); }
    uint32_t TargetVendorId() const { return targetVendorId_; }
    uint32_t TargetProductId() const { return targetProductId_; }

    // Set by a successful discovery, cleared by a failed read or write and by closing.
    bool Connected() const { return connected_.load(std::memory_order_acquire); }
    // What discovery read of the open device (zero-terminated unless they fill the array).
    const std::wstring& DevicePath() const { return devicePath_; }
    const wchar_t* SerialNumber() const { return serialNumber_; }
    const wchar_t* FirmwareText() const { return firmwareText_; }
    const HidCaps& Caps() const { return hidCaps_; }
    const std::vector<HidButtonCaps>& InputButtonCaps() const { return inputButtonCaps_; }
    uint32_t InputButtonCount() const { return inputButtonCount_; }
    // The kModuleKeyBlockSize bytes of the pass summary: the owner's, or this record's.
    const uint8_t* KeyBlock() const { return moduleKeyBlock_; }

private:
    // The steps of one discovery pass, in the order they run.
    void BeginPass();
    std::optional<std::wstring> Enumerate(InterfaceSet& set, uint32_t index);
    bool TryInterface(const std::wstring& path);
    OwnedHandle Accept(const std::wstring& path, HidAttributes& attributes);
    bool Open(const std::wstring& path);
    void Identify(const HidAttributes& attributes);
    bool Filter() const;
    void Publish(uint32_t enumerationCalls, bool opened);

    OwnedHandle OpenReadHandle(const wchar_t* path);
    void CloseHandles();
    std::wstring SerialText() const;
    // A call counts as failed when it fails, and also when it succeeds but leaves an
    // error behind.
    bool Succeeded(bool ok) const { return ok && layer_->LastError() == kErrorSuccess; }

    uint32_t targetVendorId_ = kBoardVendorId;
    uint32_t targetProductId_ = kInitialProductId;
    std::wstring serialFilter_;
    uint8_t* moduleKeyBlock_ = nullptr;  // the owner's (see CEngine), or ownedKeyBlock_
    std::atomic<bool> connected_{false};
    std::wstring devicePath_;
    wchar_t serialNumber_[kSerialChars] = {};
    wchar_t firmwareText_[kFirmwareChars] = {};
    HidCaps hidCaps_{};
    std::vector<HidButtonCaps> inputButtonCaps_;
    uint32_t inputButtonCount_ = 0;
    uint32_t detailSize_ = 0;
    uint8_t prevInputReport_[kInputReportCapacity] = {};
    OpenState openState_ = OpenState::None;
    std::unique_ptr<uint8_t[]> ownedKeyBlock_;
    // The layer of this record's passes, and the state of reads on the read handle (the
    // overlapped record and its event), kept for the life of the record.
    std::shared_ptr<HidLayer> layer_;
    std::unique_ptr<ReadState> readState_;
    OwnedHandle queryHandle_;
    OwnedHandle writeHandle_;
    OwnedHandle readHandle_;
};

}  // namespace torq
