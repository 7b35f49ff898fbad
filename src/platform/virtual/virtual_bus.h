// The virtual HID bus: an in-process HidLayer whose devices exist only in memory.
//
// Tests and the simulator add devices, send their input reports, read back the output
// reports written to them, unplug them and make any HID step fail, so that every rule
// of discovery and I/O can be exercised on a machine without a board. The HID calls keep
// the Windows behaviour that the device code depends on: enumeration order, the two-call
// detail query, handle modes, the "last error" of every call, a bounded input queue per
// read handle, and error 1167 once a device is gone.
//
// Thread safety: every member may be called from any thread. One mutex per bus guards
// all of its state; a waiting Read() sleeps on the bus's condition and is woken by an
// input report, an unplug, a closed handle, an injected wait failure or Wake().
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/hid_layer.h"

namespace torq {

// The per-device steps that can be made to fail.
enum class VirtualFault : uint8_t {
    Detail,      // both detail queries of the interface set fail
    OpenQuery,   // Open(path, Query)
    OpenWrite,   // Open(path, Write)
    OpenRead,    // Open(path, Read)
    Attributes,  // GetAttributes
    Serial,      // GetSerialNumberString
    Preparsed,   // GetPreparsedData
    ButtonCaps,  // PreparsedData::GetInputButtonCaps (looked up when asked)
    Write,       // Write
    Wait,        // ReadState::Read
};
inline constexpr size_t kVirtualFaultCount = 10;

// "open_write" -> VirtualFault::OpenWrite; nullopt for any other text.
std::optional<VirtualFault> VirtualFaultFromName(std::string_view name);

// The supported board's report descriptor: what a device gets when none is given.
std::span<const uint8_t> BoardReportDescriptor();

struct VirtualDeviceSetup {
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint16_t version = 0x0100;
    std::optional<std::wstring> serial;  // none: the device has no serial number string
    std::wstring path;                   // empty: a generated path, unique on the bus
    std::vector<uint8_t> descriptor;     // the device's report descriptor
};

class VirtualBus final : public HidLayer {
public:
    VirtualBus();
    ~VirtualBus() override;
    VirtualBus(const VirtualBus&) = delete;
    VirtualBus& operator=(const VirtualBus&) = delete;

    // HidLayer. Every call leaves its error in the thread's last error, 0 on success.
    uint32_t LastError() const override;
    std::unique_ptr<InterfaceSet> OpenInterfaceSet() override;
    HidHandle Open(const wchar_t* path, OpenMode mode) override;
    void Close(HidHandle handle) override;
    bool GetAttributes(HidHandle handle, HidAttributes* attributes) override;
    bool GetSerialNumberString(HidHandle handle, wchar_t* buffer, uint32_t bufferBytes) override;
    bool SetNumInputBuffers(HidHandle handle, uint32_t count) override;
    std::unique_ptr<PreparsedData> GetPreparsedData(HidHandle handle) override;
    bool Write(HidHandle handle, const uint8_t* data, uint32_t length, uint32_t* written) override;
    std::unique_ptr<ReadState> CreateReadState() override;

    // Building and watching the bus. Devices are numbered from 1 in the order they were
    // added and keep their number after an unplug; the calls below that take a number
    // return false or nullopt for a number this bus never gave out.

    // Adds a device at the end of the enumeration. Returns its number, or 0 with the
    // reason in *why (descriptor that does not parse, path already plugged in).
    int AddDevice(const VirtualDeviceSetup& setup, std::string* why);
    size_t DeviceCount() const;
    // The device leaves the enumeration; waiting reads on its handles fail, later I/O on
    // them fails with kErrorDeviceNotConnected. Unplugging twice is harmless.
    bool Unplug(int device);
    std::optional<bool> IsPlugged(int device) const;
    // The device sends one report: every open read handle of it queues a copy, keeping
    // only its newest N. False for an unplugged device.
    bool SendInput(int device, const uint8_t* data, size_t size);

    std::optional<std::wstring> DevicePath(int device) const;
    std::optional<std::vector<uint8_t>> Descriptor(int device) const;
    // Output reports written to the device, in order.
    std::optional<size_t> FrameCount(int device) const;
    std::optional<std::vector<uint8_t>> Frame(int device, size_t index) const;
    bool ClearFrames(int device);
    // Forgets the oldest `count` frames (all of them when fewer are recorded); frames
    // written meanwhile stay. Returns how many went, or nullopt for an unknown device.
    std::optional<size_t> DropFrames(int device, size_t count);
    std::optional<int> OpenHandles(int device) const;
    // The last count given to SetNumInputBuffers on any handle of the device, 0 if never.
    std::optional<uint32_t> InputBuffers(int device) const;

    // From now on the step fails, with `error` where it has an error code (0: the step's
    // own plain failure; for ButtonCaps `error` is the HidP status to return).
    bool Fail(int device, VirtualFault fault, uint32_t error);
    // Clears one fault, or all of the device's when `fault` is nullopt.
    bool Clear(int device, std::optional<VirtualFault> fault);
    // From now on the device takes no output report: a write waits until Resume (and
    // then goes through), an unplug or the close of its handle, or, with `timeoutMs`
    // given, fails with kErrorTimeout once that time has passed.
    bool Stall(int device, std::optional<uint32_t> timeoutMs);
    bool Resume(int device);
    struct StallCounts {
        int waitingWrites = 0;      // writes waiting on the stall now
        size_t timedOutWrites = 0;  // writes that have timed out on it
    };
    std::optional<StallCounts> Stalls(int device) const;

    // Every interface set made from now on fails to enumerate (0: kErrorInvalidHandle).
    void FailEnumerate(uint32_t error);
    void ClearEnumerate();

    struct State;  // shared with the interface sets, preparsed data and read states

private:
    std::shared_ptr<State> state_;
};


}  // namespace torq
