// The virtual HID bus (see virtual_bus.h).
#include "platform/virtual/virtual_bus.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <deque>
#include <map>
#include <mutex>

#include "platform/report_descriptor.h"
#include "platform/text.h"

namespace torq {

namespace {

// The board's descriptor, byte for byte the one torqsim.BOARD_DESCRIPTOR publishes.
// No report IDs; input: 32 buttons, switches 1-6 as bytes each followed by a padding
// byte, switch 8 and switch 7 as signed 16-bit values, switch 9 as a byte (21 bytes, 22
// with the report-ID byte, 9 value caps); output: 53 vendor bytes (54 with the ID byte).
constexpr uint8_t kBoardDescriptor[] = {
    0x05, 0x01, 0x09, 0x04, 0xA1, 0x01,              // Generic Desktop / Joystick, Application
    0x05, 0x09, 0x19, 0x01, 0x29, 0x20,              // Button page, usages 1..32
    0x15, 0x00, 0x25, 0x01, 0x75, 0x01, 0x95, 0x20,  // logical 0..1, 1 bit x 32
    0x81, 0x02,                                      // Input (Data, Variable, Absolute)
    0x05, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00,        // Generic Desktop, logical 0..255
    0x75, 0x08, 0x95, 0x01,                          // 8 bits x 1
    0x09, 0x30, 0x81, 0x02, 0x81, 0x03,              // switch 1 (X), padding byte
    0x09, 0x31, 0x81, 0x02, 0x81, 0x03,              // switch 2 (Y)
    0x09, 0x32, 0x81, 0x02, 0x81, 0x03,              // switch 3 (Z)
    0x09, 0x33, 0x81, 0x02, 0x81, 0x03,              // switch 4 (Rx)
    0x09, 0x34, 0x81, 0x02, 0x81, 0x03,              // switch 5 (Ry)
    0x09, 0x35, 0x81, 0x02, 0x81, 0x03,              // switch 6 (Rz)
    0x16, 0x00, 0x80, 0x26, 0xFF, 0x7F, 0x75, 0x10,  // logical -32768..32767, 16 bits
    0x09, 0x37, 0x81, 0x02,                          // switch 8 (Dial)
    0x09, 0x36, 0x81, 0x02,                          // switch 7 (Slider)
    0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08,        // logical 0..255, 8 bits
    0x09, 0x38, 0x81, 0x02,                          // switch 9 (Wheel)
    0x06, 0x00, 0xFF, 0x09, 0x01,                    // vendor page 0xFF00, usage 1
    0x95, 0x35, 0x91, 0x02,                          // 53 bytes, Output (Data, Variable, Absolute)
    0xC0,                                            // End Collection
};

// Generated paths follow the shape Windows gives HID interfaces, with the HID class GUID.
constexpr wchar_t kHidInterfaceGuid[] = L"{4d1e55b2-f16f-11cf-88cb-001111000030}";

struct Fault {
    bool active = false;
    uint32_t error = 0;
};

uint32_t FaultError(const Fault& fault, uint32_t plain) {
    return fault.error != 0 ? fault.error : plain;
}

struct VirtualDevice {
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint16_t version = 0;
    std::optional<std::wstring> serial;
    std::wstring path;
    std::vector<uint8_t> descriptor;
    std::shared_ptr<const ParsedDescriptor> parsed;
    bool plugged = true;
    int openHandles = 0;
    uint32_t inputBuffers = 0;
    std::vector<std::vector<uint8_t>> frames;
    std::array<Fault, kVirtualFaultCount> faults{};
    // A stalled device takes no output report: writes wait until Resume, or until
    // stallTimeoutMs has passed, when they fail with kErrorTimeout.
    bool stalled = false;
    std::optional<uint32_t> stallTimeoutMs;
    int waitingWrites = 0;
    size_t timedOutWrites = 0;

    const Fault& FaultOf(VirtualFault fault) const { return faults[static_cast<size_t>(fault)]; }
    Fault& FaultOf(VirtualFault fault) { return faults[static_cast<size_t>(fault)]; }
};

struct VirtualHandle {
    size_t device = 0;  // index into State::devices
    OpenMode mode = OpenMode::Query;
    uint32_t inputBuffers = kDefaultInputBuffers;
    std::deque<std::vector<uint8_t>> queue;  // unread input reports, oldest first
};

}  // namespace

struct VirtualBus::State {
    std::mutex mutex;
    // Signalled on every change a waiting read may care about.
    std::condition_variable changed;
    // In the order added; unplugged devices stay here (out of the enumeration) so that
    // their numbers and records stay valid.
    std::vector<VirtualDevice> devices;
    std::map<HidHandle, VirtualHandle> handles;
    HidHandle nextHandle = 1;
    unsigned long long generatedPaths = 0;
    Fault enumerate;

    // Callers hold `mutex`.
    VirtualDevice* DeviceByNumber(int number) {
        if (number < 1 || static_cast<size_t>(number) > devices.size()) {
            return nullptr;
        }
        return &devices[static_cast<size_t>(number) - 1];
    }
    const VirtualDevice* DeviceByNumber(int number) const {
        if (number < 1 || static_cast<size_t>(number) > devices.size()) {
            return nullptr;
        }
        return &devices[static_cast<size_t>(number) - 1];
    }
    std::optional<size_t> PluggedDeviceWithPath(std::wstring_view path) const {
        for (size_t i = 0; i < devices.size(); ++i) {
            if (devices[i].plugged && devices[i].path == path) {
                return i;
            }
        }
        return std::nullopt;
    }
    VirtualHandle* HandleOf(HidHandle handle) {
        auto it = handles.find(handle);
        return it == handles.end() ? nullptr : &it->second;
    }
};

using State = VirtualBus::State;

namespace {

using Lock = std::unique_lock<std::mutex>;

// The checks every call on a handle starts with: a handle this bus gave out, on a device
// that is still plugged in. Sets the thread's error when it answers null.
struct HandleTarget {
    VirtualHandle* handle = nullptr;
    VirtualDevice* device = nullptr;
};

HandleTarget ResolveHandle(State& state, HidHandle handle) {
    VirtualHandle* record = state.HandleOf(handle);
    if (record == nullptr) {
        SetThreadHidError(kErrorInvalidHandle);
        return {};
    }
    VirtualDevice& device = state.devices[record->device];
    if (!device.plugged) {
        SetThreadHidError(kErrorDeviceNotConnected);
        return {};
    }
    return {record, &device};
}

// A snapshot of the plugged devices: later plugs and unplugs do not change the members,
// as with a SetupDi device information set. Faults are looked up live.
class VirtualInterfaceSet final : public InterfaceSet {
public:
    struct Member {
        size_t device;
        std::wstring path;
    };

    VirtualInterfaceSet(std::shared_ptr<State> state, std::vector<Member> members, bool broken,
                        uint32_t brokenError)
        : state_(std::move(state)), members_(std::move(members)), broken_(broken),
          brokenError_(brokenError) {}

    bool Enumerate(uint32_t index) override {
        selected_.reset();
        if (broken_) {
            SetThreadHidError(brokenError_);
            return false;
        }
        if (index >= members_.size()) {
            SetThreadHidError(kErrorNoMoreItems);
            return false;
        }
        selected_ = index;
        SetThreadHidError(kErrorSuccess);
        return true;
    }

    bool Detail(InterfaceDetail* detail, uint32_t detailSize, uint32_t* requiredSize) override {
        if (!selected_) {
            SetThreadHidError(kErrorInvalidParameter);
            return false;
        }
        const Member& member = members_[*selected_];
        {
            Lock lock(state_->mutex);
            const Fault& fault = state_->devices[member.device].FaultOf(VirtualFault::Detail);
            if (fault.active) {
                SetThreadHidError(FaultError(fault, kErrorGenFailure));
                return false;
            }
        }
        return AnswerInterfaceDetail(member.path, detail, detailSize, requiredSize);
    }

private:
    std::shared_ptr<State> state_;
    std::vector<Member> members_;
    bool broken_;
    uint32_t brokenError_;
    std::optional<size_t> selected_;
};

// The button-caps fault is looked up when the caps are asked for, so a test can set it
// after discovery.
class VirtualPreparsedData final : public DescriptorPreparsedData {
public:
    VirtualPreparsedData(std::shared_ptr<State> state, size_t device,
                         std::shared_ptr<const ParsedDescriptor> parsed)
        : DescriptorPreparsedData(std::move(parsed)), state_(std::move(state)), device_(device) {}

    uint32_t GetInputButtonCaps(HidButtonCaps* caps, uint16_t* length) const override {
        {
            Lock lock(state_->mutex);
            const Fault& fault = state_->devices[device_].FaultOf(VirtualFault::ButtonCaps);
            if (fault.active) {
                return FaultError(fault, kHidpStatusInvalidPreparsedData);
            }
        }
        return DescriptorPreparsedData::GetInputButtonCaps(caps, length);
    }

private:
    std::shared_ptr<State> state_;
    size_t device_;
};

class VirtualReadState final : public ReadState {
public:
    explicit VirtualReadState(std::shared_ptr<State> state) : state_(std::move(state)) {}

    ReadOutcome Read(HidHandle handle, uint8_t* buffer, uint32_t capacity,
                     uint32_t timeoutMs) override {
        Lock lock(state_->mutex);
        if (woken_) {
            SetThreadHidError(kErrorSuccess);
            return {WaitResult::TimedOut, 0, false};
        }
        if (auto failed = CannotWait(handle)) {
            SetThreadHidError(*failed);
            return {WaitResult::Failed, 0, false};
        }
        if (!state_->HandleOf(handle)->queue.empty()) {
            return Deliver(handle, buffer, capacity, true);
        }
        auto somethingHappened = [&] {
            if (woken_ || CannotWait(handle)) {
                return true;
            }
            return !state_->HandleOf(handle)->queue.empty();
        };
        if (timeoutMs == kWaitForever) {
            state_->changed.wait(lock, somethingHappened);
        } else {
            const auto deadline =
                std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
            if (!state_->changed.wait_until(lock, deadline, somethingHappened)) {
                SetThreadHidError(kErrorSuccess);
                return {WaitResult::TimedOut, 0, false};
            }
        }
        if (woken_) {
            SetThreadHidError(kErrorSuccess);
            return {WaitResult::TimedOut, 0, false};
        }
        if (auto failed = CannotWait(handle)) {
            SetThreadHidError(*failed);
            return {WaitResult::Failed, 0, false};
        }
        return Deliver(handle, buffer, capacity, false);
    }

    void Wake() override {
        {
            Lock lock(state_->mutex);
            woken_ = true;
        }
        state_->changed.notify_all();
    }

    void Rearm() override {
        Lock lock(state_->mutex);
        woken_ = false;
    }

    // Nothing to end: a read that timed out left nothing in flight, its report (if one
    // comes) waits in the handle's queue.
    void Release(HidHandle) override {}

private:
    // The error that makes a read on `handle` fail now, if any. Caller holds the mutex.
    std::optional<uint32_t> CannotWait(HidHandle handle) const {
        const VirtualHandle* record = state_->HandleOf(handle);
        if (record == nullptr) {
            return kErrorInvalidHandle;
        }
        const VirtualDevice& device = state_->devices[record->device];
        if (!device.plugged) {
            return kErrorDeviceNotConnected;
        }
        if (record->mode != OpenMode::Read) {
            return kErrorAccessDenied;
        }
        const Fault& fault = device.FaultOf(VirtualFault::Wait);
        if (fault.active) {
            return FaultError(fault, kErrorGenFailure);
        }
        return std::nullopt;
    }

    ReadOutcome Deliver(HidHandle handle, uint8_t* buffer, uint32_t capacity, bool immediate) {
        VirtualHandle* record = state_->HandleOf(handle);
        std::vector<uint8_t> report = std::move(record->queue.front());
        record->queue.pop_front();
        SetThreadHidError(kErrorSuccess);
        return DeliverReport(report.data(), report.size(), buffer, capacity, immediate);
    }

    std::shared_ptr<State> state_;
    bool woken_ = false;  // guarded by state_->mutex
};

std::wstring GeneratedPath(uint16_t vendorId, uint16_t productId, unsigned long long serialNo) {
    wchar_t buffer[160];
    std::swprintf(buffer, sizeof buffer / sizeof buffer[0],
                  L"\\\\?\\hid#vid_%04x&pid_%04x#virtual&%llu#%ls", static_cast<unsigned>(vendorId),
                  static_cast<unsigned>(productId), serialNo, kHidInterfaceGuid);
    return buffer;
}

void TrimQueue(VirtualHandle& handle) {
    while (handle.queue.size() > handle.inputBuffers) {
        handle.queue.pop_front();
    }
}

}  // namespace

std::optional<VirtualFault> VirtualFaultFromName(std::string_view name) {
    static constexpr std::pair<std::string_view, VirtualFault> kNames[] = {
        {"detail", VirtualFault::Detail},         {"open_query", VirtualFault::OpenQuery},
        {"open_write", VirtualFault::OpenWrite},   {"open_read", VirtualFault::OpenRead},
        {"attributes", VirtualFault::Attributes}, {"serial", VirtualFault::Serial},
        {"preparsed", VirtualFault::Preparsed},   {"button_caps", VirtualFault::ButtonCaps},
        {"write", VirtualFault::Write},           {"wait", VirtualFault::Wait},
    };
    static_assert(std::size(kNames) == kVirtualFaultCount);
    for (const auto& [text, fault] : kNames) {
        if (text == name) {
            return fault;
        }
    }
    return std::nullopt;
}

std::span<const uint8_t> BoardReportDescriptor() {
    return kBoardDescriptor;
}

VirtualBus::VirtualBus() : state_(std::make_shared<State>()) {}

// Waiting reads hold the state, not the bus, so nothing needs to be woken here.
VirtualBus::~VirtualBus() = default;

uint32_t VirtualBus::LastError() const {
    return ThreadHidError();
}

std::unique_ptr<InterfaceSet> VirtualBus::OpenInterfaceSet() {
    std::vector<VirtualInterfaceSet::Member> members;
    bool broken = false;
    uint32_t brokenError = 0;
    {
        Lock lock(state_->mutex);
        if (state_->enumerate.active) {
            broken = true;
            brokenError = FaultError(state_->enumerate, kErrorInvalidHandle);
        } else {
            for (size_t i = 0; i < state_->devices.size(); ++i) {
                if (state_->devices[i].plugged) {
                    members.push_back({i, state_->devices[i].path});
                }
            }
        }
    }
    SetThreadHidError(broken ? brokenError : kErrorSuccess);
    return std::make_unique<VirtualInterfaceSet>(state_, std::move(members), broken, brokenError);
}

HidHandle VirtualBus::Open(const wchar_t* path, OpenMode mode) {
    Lock lock(state_->mutex);
    const auto index = path != nullptr ? state_->PluggedDeviceWithPath(path) : std::nullopt;
    if (!index) {
        SetThreadHidError(kErrorFileNotFound);
        return kInvalidHandle;
    }
    VirtualDevice& device = state_->devices[*index];
    const VirtualFault fault = mode == OpenMode::Query   ? VirtualFault::OpenQuery
                               : mode == OpenMode::Write ? VirtualFault::OpenWrite
                                                         : VirtualFault::OpenRead;
    if (device.FaultOf(fault).active) {
        SetThreadHidError(FaultError(device.FaultOf(fault), kErrorAccessDenied));
        return kInvalidHandle;
    }
    const HidHandle handle = state_->nextHandle++;
    state_->handles.emplace(handle, VirtualHandle{*index, mode, kDefaultInputBuffers, {}});
    ++device.openHandles;
    SetThreadHidError(kErrorSuccess);
    return handle;
}

void VirtualBus::Close(HidHandle handle) {
    {
        Lock lock(state_->mutex);
        auto it = state_->handles.find(handle);
        if (it == state_->handles.end()) {
            SetThreadHidError(kErrorInvalidHandle);
            return;
        }
        --state_->devices[it->second.device].openHandles;
        state_->handles.erase(it);
    }
    // A read still waiting on the handle must not wait on a handle that no longer exists.
    state_->changed.notify_all();
    SetThreadHidError(kErrorSuccess);
}

bool VirtualBus::GetAttributes(HidHandle handle, HidAttributes* attributes) {
    Lock lock(state_->mutex);
    HandleTarget target = ResolveHandle(*state_, handle);
    if (target.device == nullptr) {
        return false;
    }
    const Fault& fault = target.device->FaultOf(VirtualFault::Attributes);
    if (fault.active) {
        SetThreadHidError(FaultError(fault, kErrorGenFailure));
        return false;
    }
    if (attributes == nullptr) {
        SetThreadHidError(kErrorInvalidParameter);
        return false;
    }
    attributes->Size = sizeof(HidAttributes);
    attributes->VendorID = target.device->vendorId;
    attributes->ProductID = target.device->productId;
    attributes->VersionNumber = target.device->version;
    SetThreadHidError(kErrorSuccess);
    return true;
}

bool VirtualBus::GetSerialNumberString(HidHandle handle, wchar_t* buffer, uint32_t bufferBytes) {
    Lock lock(state_->mutex);
    HandleTarget target = ResolveHandle(*state_, handle);
    if (target.device == nullptr) {
        return false;
    }
    const Fault& fault = target.device->FaultOf(VirtualFault::Serial);
    if (fault.active || !target.device->serial) {
        SetThreadHidError(FaultError(fault, kErrorGenFailure));
        return false;
    }
    return AnswerSerialNumber(*target.device->serial, buffer, bufferBytes);
}

bool VirtualBus::SetNumInputBuffers(HidHandle handle, uint32_t count) {
    Lock lock(state_->mutex);
    HandleTarget target = ResolveHandle(*state_, handle);
    if (target.device == nullptr) {
        return false;
    }
    if (!AcceptInputBufferCount(count)) {
        return false;
    }
    target.handle->inputBuffers = count;
    TrimQueue(*target.handle);
    target.device->inputBuffers = count;
    SetThreadHidError(kErrorSuccess);
    return true;
}

std::unique_ptr<PreparsedData> VirtualBus::GetPreparsedData(HidHandle handle) {
    size_t device = 0;
    std::shared_ptr<const ParsedDescriptor> parsed;
    {
        Lock lock(state_->mutex);
        HandleTarget target = ResolveHandle(*state_, handle);
        if (target.device == nullptr) {
            return nullptr;
        }
        const Fault& fault = target.device->FaultOf(VirtualFault::Preparsed);
        if (fault.active) {
            SetThreadHidError(FaultError(fault, kErrorGenFailure));
            return nullptr;
        }
        device = target.handle->device;
        parsed = target.device->parsed;
    }
    auto data = std::make_unique<VirtualPreparsedData>(state_, device, std::move(parsed));
    SetThreadHidError(kErrorSuccess);
    return data;
}

namespace {

// A write to a stalled device waits until the device takes reports again (true, with
// `target` resolved anew), or fails: the time-out passed (kErrorTimeout), the device
// was unplugged or the handle closed meanwhile. The device's record may move while the
// lock is released (devices added), so it is looked up again after every wake.
bool WaitOutStall(State& state, HidHandle handle, Lock& lock, HandleTarget& target) {
    const size_t index = target.handle->device;
    std::optional<std::chrono::steady_clock::time_point> deadline;
    if (target.device->stallTimeoutMs) {
        deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(*target.device->stallTimeoutMs);
    }
    ++target.device->waitingWrites;
    bool timedOut = false;
    while (!timedOut) {
        if (deadline) {
            timedOut = state.changed.wait_until(lock, *deadline) == std::cv_status::timeout;
        } else {
            state.changed.wait(lock);
        }
        target = ResolveHandle(state, handle);
        if (target.device == nullptr || !target.device->stalled) {
            break;
        }
    }
    VirtualDevice& device = state.devices[index];
    --device.waitingWrites;
    if (target.device == nullptr) {
        return false;  // the error is ResolveHandle's
    }
    if (target.device->stalled) {
        ++device.timedOutWrites;
        SetThreadHidError(kErrorTimeout);
        return false;
    }
    return true;
}

}  // namespace

bool VirtualBus::Write(HidHandle handle, const uint8_t* data, uint32_t length, uint32_t* written) {
    Lock lock(state_->mutex);
    if (written != nullptr) {
        *written = 0;
    }
    HandleTarget target = ResolveHandle(*state_, handle);
    if (target.device == nullptr) {
        return false;
    }
    if (target.handle->mode != OpenMode::Write) {
        SetThreadHidError(kErrorAccessDenied);
        return false;
    }
    const Fault& fault = target.device->FaultOf(VirtualFault::Write);
    if (fault.active) {
        SetThreadHidError(FaultError(fault, kErrorGenFailure));
        return false;
    }
    if (data == nullptr && length != 0) {
        SetThreadHidError(kErrorInvalidParameter);
        return false;
    }
    if (target.device->stalled && !WaitOutStall(*state_, handle, lock, target)) {
        return false;
    }
    target.device->frames.emplace_back(data, data + length);
    if (written != nullptr) {
        *written = length;
    }
    SetThreadHidError(kErrorSuccess);
    return true;
}

std::unique_ptr<ReadState> VirtualBus::CreateReadState() {
    auto state = std::make_unique<VirtualReadState>(state_);
    SetThreadHidError(kErrorSuccess);
    return state;
}

int VirtualBus::AddDevice(const VirtualDeviceSetup& setup, std::string* why) {
    auto fail = [why](const char* reason) {
        if (why != nullptr) {
            *why = reason;
        }
        return 0;
    };
    auto parsed = std::make_shared<ParsedDescriptor>();
    if (setup.descriptor.empty() ||
        !ParseReportDescriptor(setup.descriptor.data(), setup.descriptor.size(), *parsed)) {
        return fail("the report descriptor does not parse");
    }
    if (setup.path.find(L'\0') != std::wstring::npos) {
        return fail("the interface path holds a zero character");
    }
    if (setup.serial && setup.serial->find(L'\0') != std::wstring::npos) {
        return fail("the serial number holds a zero character");
    }
    Lock lock(state_->mutex);
    if (state_->devices.size() >= static_cast<size_t>(INT32_MAX)) {
        return fail("the bus holds as many devices as it can number");
    }
    VirtualDevice device;
    device.vendorId = setup.vendorId;
    device.productId = setup.productId;
    device.version = setup.version;
    device.serial = setup.serial;
    device.descriptor = setup.descriptor;
    device.parsed = std::move(parsed);
    if (setup.path.empty()) {
        // A user-given path may take a generated one's place: skip until one is free.
        do {
            device.path = GeneratedPath(setup.vendorId, setup.productId, ++state_->generatedPaths);
        } while (state_->PluggedDeviceWithPath(device.path));
    } else {
        if (state_->PluggedDeviceWithPath(setup.path)) {
            return fail("a plugged device already has this interface path");
        }
        device.path = setup.path;
    }
    state_->devices.push_back(std::move(device));
    return static_cast<int>(state_->devices.size());
}

size_t VirtualBus::DeviceCount() const {
    Lock lock(state_->mutex);
    return state_->devices.size();
}

bool VirtualBus::Unplug(int device) {
    {
        Lock lock(state_->mutex);
        VirtualDevice* record = state_->DeviceByNumber(device);
        if (record == nullptr) {
            return false;
        }
        record->plugged = false;
        // What was queued for its handles is gone with it.
        const auto index = static_cast<size_t>(device) - 1;
        for (auto& [value, handle] : state_->handles) {
            if (handle.device == index) {
                handle.queue.clear();
            }
        }
    }
    state_->changed.notify_all();
    return true;
}

std::optional<bool> VirtualBus::IsPlugged(int device) const {
    Lock lock(state_->mutex);
    const VirtualDevice* record = state_->DeviceByNumber(device);
    return record != nullptr ? std::optional<bool>(record->plugged) : std::nullopt;
}

bool VirtualBus::SendInput(int device, const uint8_t* data, size_t size) {
    {
        Lock lock(state_->mutex);
        const VirtualDevice* record = state_->DeviceByNumber(device);
        if (record == nullptr || !record->plugged || (data == nullptr && size != 0)) {
            return false;
        }
        const auto index = static_cast<size_t>(device) - 1;
        for (auto& [value, handle] : state_->handles) {
            if (handle.device == index && handle.mode == OpenMode::Read) {
                handle.queue.emplace_back(data, data + size);
                TrimQueue(handle);
            }
        }
    }
    state_->changed.notify_all();
    return true;
}

std::optional<std::wstring> VirtualBus::DevicePath(int device) const {
    Lock lock(state_->mutex);
    const VirtualDevice* record = state_->DeviceByNumber(device);
    return record != nullptr ? std::optional<std::wstring>(record->path) : std::nullopt;
}

std::optional<std::vector<uint8_t>> VirtualBus::Descriptor(int device) const {
    Lock lock(state_->mutex);
    const VirtualDevice* record = state_->DeviceByNumber(device);
    return record != nullptr ? std::optional<std::vector<uint8_t>>(record->descriptor)
                             : std::nullopt;
}

std::optional<size_t> VirtualBus::FrameCount(int device) const {
    Lock lock(state_->mutex);
    const VirtualDevice* record = state_->DeviceByNumber(device);
    return record != nullptr ? std::optional<size_t>(record->frames.size()) : std::nullopt;
}

std::optional<std::vector<uint8_t>> VirtualBus::Frame(int device, size_t index) const {
    Lock lock(state_->mutex);
    const VirtualDevice* record = state_->DeviceByNumber(device);
    if (record == nullptr || index >= record->frames.size()) {
        return std::nullopt;
    }
    return record->frames[index];
}

bool VirtualBus::ClearFrames(int device) {
    Lock lock(state_->mutex);
    VirtualDevice* record = state_->DeviceByNumber(device);
    if (record == nullptr) {
        return false;
    }
    record->frames.clear();
    return true;
}

std::optional<size_t> VirtualBus::DropFrames(int device, size_t count) {
    Lock lock(state_->mutex);
    VirtualDevice* record = state_->DeviceByNumber(device);
    if (record == nullptr) {
        return std::nullopt;
    }
    const size_t dropped = std::min(count, record->frames.size());
    record->frames.erase(record->frames.begin(),
                         record->frames.begin() + static_cast<std::ptrdiff_t>(dropped));
    return dropped;
}

std::optional<int> VirtualBus::OpenHandles(int device) const {
    Lock lock(state_->mutex);
    const VirtualDevice* record = state_->DeviceByNumber(device);
    return record != nullptr ? std::optional<int>(record->openHandles) : std::nullopt;
}

std::optional<uint32_t> VirtualBus::InputBuffers(int device) const {
    Lock lock(state_->mutex);
    const VirtualDevice* record = state_->DeviceByNumber(device);
    return record != nullptr ? std::optional<uint32_t>(record->inputBuffers) : std::nullopt;
}

bool VirtualBus::Fail(int device, VirtualFault fault, uint32_t error) {
    {
        Lock lock(state_->mutex);
        VirtualDevice* record = state_->DeviceByNumber(device);
        if (record == nullptr) {
            return false;
        }
        record->FaultOf(fault) = Fault{true, error};
    }
    // A read waiting on the device fails at once when its wait is made to fail.
    state_->changed.notify_all();
    return true;
}

bool VirtualBus::Clear(int device, std::optional<VirtualFault> fault) {
    Lock lock(state_->mutex);
    VirtualDevice* record = state_->DeviceByNumber(device);
    if (record == nullptr) {
        return false;
    }
    if (fault) {
        record->FaultOf(*fault) = Fault{};
    } else {
        record->faults.fill(Fault{});
    }
    return true;
}

bool VirtualBus::Stall(int device, std::optional<uint32_t> timeoutMs) {
    Lock lock(state_->mutex);
    VirtualDevice* record = state_->DeviceByNumber(device);
    if (record == nullptr) {
        return false;
    }
    record->stalled = true;
    record->stallTimeoutMs = timeoutMs;
    return true;
}

bool VirtualBus::Resume(int device) {
    {
        Lock lock(state_->mutex);
        VirtualDevice* record = state_->DeviceByNumber(device);
        if (record == nullptr) {
            return false;
        }
        record->stalled = false;
    }
    state_->changed.notify_all();
    return true;
}

std::optional<VirtualBus::StallCounts> VirtualBus::Stalls(int device) const {
    Lock lock(state_->mutex);
    const VirtualDevice* record = state_->DeviceByNumber(device);
    if (record == nullptr) {
        return std::nullopt;
    }
    return StallCounts{record->waitingWrites, record->timedOutWrites};
}

void VirtualBus::FailEnumerate(uint32_t error) {
    Lock lock(state_->mutex);
    state_->enumerate = Fault{true, error};
}

void VirtualBus::ClearEnumerate() {
    Lock lock(state_->mutex);
    state_->enumerate = Fault{};
}



}  // namespace torq
