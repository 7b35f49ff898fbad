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
#include <string>
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

// Results of DiscoverAndOpen and values of openState.
inline constexpr uint32_t kOpenNone = 0;
inline constexpr uint32_t kOpenHandles = 1;
inline constexpr uint32_t kOpenReady = 2;

class CHidDevice {
public:
    // Zeroes the kModuleKeyBlockSize bytes at `keyBlock`, which discovery fills; with
    // none given the record keeps a block of its own.
    explicit CHidDevice(uint8_t* keyBlock = nullptr);
    ~CHidDevice();
    CHidDevice(const CHidDevice&) = delete;
    CHidDevice& operator=(const CHidDevice&) = delete;

    // One discovery pass; returns openState (kOpenReady when the board is open).
    int32_t DiscoverAndOpen();
    // 1 when the capabilities were read, 0 otherwise. `destination` receives a copy of
    // hidCaps (it may be hidCaps itself).
    int32_t ProbeCapabilities(HidCaps& destination);
    // 1 changed report, 0 nothing new, -1 the wait failed (connected is then false).
    int32_t ReadInputReport(uint8_t* buffer, uint32_t length, uint32_t* bytesRead);
    // Nonzero when the report was written.
    int32_t WriteOutputReport(const uint8_t* buffer, uint32_t length, uint32_t* bytesWritten);
    void CloseDevice();

    // The listener's stop signal: a waiting read returns at once, and so does every
    // later one until RearmReads().
    void WakeReads();
    void RearmReads();

    // True when the display side may send: a device is open for output.
    bool CanSend() const { return queryHandle != kInvalidHandle && writeHandle != kNullHandle; }
    // True when the listener may read.
    bool CanRead() const {
        return queryHandle != kInvalidHandle && readHandle != kNullHandle &&
               connected.load(std::memory_order_acquire);
    }

    uint32_t targetVendorId = kBoardVendorId;
    uint32_t targetProductId = kInitialProductId;
    uint32_t detailSize = 0;
    uint8_t* moduleKeyBlock = nullptr;  // the owner's (see CEngine), or ownedKeyBlock_
    uint8_t prevInputReport[kInputReportCapacity] = {};
    uint32_t inputButtonCount = 0;
    std::vector<HidButtonCaps> inputButtonCaps;
    std::atomic<bool> connected{false};
    HidHandle queryHandle = kNullHandle;
    HidHandle writeHandle = kNullHandle;
    HidHandle readHandle = kNullHandle;
    std::wstring serialFilter;
    std::wstring devicePath;
    wchar_t serialNumber[kSerialChars] = {};
    wchar_t firmwareText[kFirmwareChars] = {};
    HidCaps hidCaps{};
    uint32_t openState = kOpenNone;

private:
    HidHandle OpenReadHandle(const wchar_t* path);
    void CloseHandles();
    void ReadIdentity(const HidAttributes& attributes);
    std::wstring SerialText() const;
    void PublishPassSummary(uint32_t enumerationCalls, bool opened);

    // The interface detail record of the interface being examined; null between uses.
    std::unique_ptr<std::byte[]> interfaceDetail;
    std::unique_ptr<uint8_t[]> ownedKeyBlock_;
    // The layer the handles were opened with, and the state of reads on readHandle
    // (the overlapped record and its event), kept for the life of the record.
    std::shared_ptr<HidLayer> layer_;
    std::unique_ptr<ReadState> readState_;
};

}  // namespace torq
