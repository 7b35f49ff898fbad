#include "device/hid_device.h"

#include <algorithm>
#include <cstring>
#include <cwchar>

#include "platform/os.h"
#include "platform/text.h"

namespace torq {

namespace {

constexpr uint32_t kInterfacePause = 1;   // ms before each enumeration
constexpr uint32_t kOpenPause = 100;      // ms between opening and asking for the identity
constexpr uint32_t kInputBuffers = 2;     // the driver keeps the newest two unread reports

}  // namespace

CHidDevice::CHidDevice(uint8_t* keyBlock) {
    if (keyBlock == nullptr) {
        ownedKeyBlock_ = std::make_unique<uint8_t[]>(kModuleKeyBlockSize);
        keyBlock = ownedKeyBlock_.get();
    }
    moduleKeyBlock_ = keyBlock;
    std::memset(moduleKeyBlock_, 0, kModuleKeyBlockSize);
}

CHidDevice::~CHidDevice() {
    CloseDevice();
}

OpenState CHidDevice::DiscoverAndOpen() {
    BeginPass();
    std::unique_ptr<InterfaceSet> set = layer_->OpenInterfaceSet();
    uint32_t memberIndex = 0;
    bool opened = false;
    for (;;) {
        SleepMs(kInterfacePause);
        const std::optional<std::wstring> path = Enumerate(*set, memberIndex++);
        opened = path && TryInterface(*path);
        connected_.store(opened, std::memory_order_release);
        if (!path || opened) {
            break;
        }
    }
    set.reset();
    Publish(memberIndex, opened);
    return openState_;
}

void CHidDevice::BeginPass() {
    openState_ = OpenState::None;
    std::fill(std::begin(serialNumber_), std::end(serialNumber_), L'\0');
    CloseDevice();
    detailSize_ = 0;
    // A pass uses the layer that is active now; the read state belongs to the layer
    // that made it, so it goes when the layer changes.
    std::shared_ptr<HidLayer> active = ActiveHidLayer();
    if (active != layer_) {
        readState_.reset();
        layer_ = std::move(active);
    }
}

// The path of member `index`, or nothing when the pass ends there.
std::optional<std::wstring> CHidDevice::Enumerate(InterfaceSet& set, uint32_t index) {
    if (!Succeeded(set.Enumerate(index))) {
        return std::nullopt;
    }
    // The first detail query only sizes the record; anything but "insufficient buffer"
    // means the set is unusable.
    if (set.Detail(nullptr, 0, &detailSize_) || layer_->LastError() != kErrorInsufficientBuffer) {
        return std::nullopt;
    }
    // Room for at least the header and one character, whatever size was stated.
    const size_t allocation = std::max<size_t>(detailSize_, sizeof(InterfaceDetail));
    const auto record = std::make_unique<std::byte[]>(allocation);
    auto* detail = reinterpret_cast<InterfaceDetail*>(record.get());
    detail->DevicePath[0] = L'\0';
    detail->cbSize = kInterfaceDetailHeaderSize;
    uint32_t secondDetailSize = 0;
    if (!Succeeded(set.Detail(detail, detailSize_, &secondDetailSize))) {
        return std::nullopt;
    }
    // The path ends at its zero or at the end of the record, whichever is first.
    const size_t maxChars = (allocation - offsetof(InterfaceDetail, DevicePath)) / sizeof(wchar_t);
    return std::wstring(detail->DevicePath, wcsnlen(detail->DevicePath, maxChars));
}

// True when this interface is the board and is now open; otherwise nothing of it stays
// open and the pass goes on to the next.
bool CHidDevice::TryInterface(const std::wstring& path) {
    HidAttributes attributes{};
    OwnedHandle query = Accept(path, attributes);
    if (!query) {
        return false;
    }
    devicePath_ = path;
    if (!Open(path)) {
        return false;
    }
    queryHandle_ = std::move(query);
    openState_ = OpenState::Handles;
    SleepMs(kOpenPause);
    Identify(attributes);
    if (!Filter()) {
        openState_ = OpenState::None;
        std::fill(std::begin(serialNumber_), std::end(serialNumber_), L'\0');
        CloseHandles();
        return false;
    }
    openState_ = OpenState::Ready;
    ProbeCapabilities(hidCaps_);
    return true;
}

// The query handle of an interface with the target's vendor and product, its
// attributes in `attributes`; an empty handle for any other interface.
OwnedHandle CHidDevice::Accept(const std::wstring& path, HidAttributes& attributes) {
    OwnedHandle query = OpenHandle(layer_, path.c_str(), OpenMode::Query);
    // A handle that came back with an error behind it counts as failed too.
    if (!query || layer_->LastError() != kErrorSuccess) {
        return {};
    }
    attributes.Size = sizeof(HidAttributes);
    if (!Succeeded(layer_->GetAttributes(query.Get(), &attributes)) ||
        attributes.VendorID != targetVendorId_ || attributes.ProductID != targetProductId_) {
        return {};
    }
    return query;
}

// The write and read handles of the channel; false (and neither open) when one fails.
bool CHidDevice::Open(const std::wstring& path) {
    OwnedHandle write = OpenHandle(layer_, path.c_str(), OpenMode::Write);
    if (!write) {
        return false;
    }
    OwnedHandle read = OpenReadHandle(path.c_str());
    if (!read) {
        return false;
    }
    layer_->SetNumInputBuffers(read.Get(), kInputBuffers);
    writeHandle_ = std::move(write);
    readHandle_ = std::move(read);
    return true;
}

OwnedHandle CHidDevice::OpenReadHandle(const wchar_t* path) {
    OwnedHandle handle = OpenHandle(layer_, path, OpenMode::Read);
    if (!readState_) {
        readState_ = layer_->CreateReadState();
    }
    std::fill(std::begin(prevInputReport_), std::end(prevInputReport_), uint8_t{0});
    return handle;
}

bool CHidDevice::Filter() const {
    return serialFilter_.empty() || serialFilter_ == SerialText();
}

void CHidDevice::Identify(const HidAttributes& attributes) {
    std::fill(std::begin(firmwareText_), std::end(firmwareText_), L'\0');
    const unsigned high = (attributes.VersionNumber >> 8) & 0xFFu;
    const unsigned low = attributes.VersionNumber & 0xFFu;
    std::swprintf(firmwareText_, kFirmwareChars, L"%x.%02x", high, low);

    std::fill(std::begin(serialNumber_), std::end(serialNumber_), L'\0');
    if (!layer_->GetSerialNumberString(readHandle_.Get(), serialNumber_, sizeof(serialNumber_))) {
        // No serial string, or the request failed: the device stays acceptable.
        std::fill(std::begin(serialNumber_), std::end(serialNumber_), L'\0');
    }
}

std::wstring CHidDevice::SerialText() const {
    return std::wstring(serialNumber_, wcsnlen(serialNumber_, kSerialChars));
}

void CHidDevice::Publish(uint32_t enumerationCalls, bool opened) {
    const uint32_t openedFlag = opened ? 1u : 0u;
    std::memcpy(moduleKeyBlock_ + kKeyBlockEnumCallsOffset, &enumerationCalls, sizeof enumerationCalls);
    std::memcpy(moduleKeyBlock_ + kKeyBlockOpenedOffset, &openedFlag, sizeof openedFlag);
    // UTF-16LE on every platform, so one native reader serves Windows and Linux. The
    // whole text area is cleared first, so no tail of a longer earlier serial survives.
    uint8_t* text = moduleKeyBlock_ + kKeyBlockSerialOffset;
    std::memset(text, 0, kKeyBlockSerialUnits * 2);
    std::u16string units = WideToUtf16(SerialText());
    constexpr size_t kRoom = kKeyBlockSerialUnits - 1;  // and the terminating zero
    if (units.size() > kRoom) {
        const bool splitsPair = units[kRoom - 1] >= 0xD800 && units[kRoom - 1] <= 0xDBFF;
        units.resize(splitsPair ? kRoom - 1 : kRoom);
    }
    for (size_t i = 0; i < units.size(); ++i) {
        text[2 * i] = static_cast<uint8_t>(units[i] & 0xFF);
        text[2 * i + 1] = static_cast<uint8_t>(units[i] >> 8);
    }
}

bool CHidDevice::ProbeCapabilities(HidCaps& destination) {
    if (!layer_) {
        return false;
    }
    const std::unique_ptr<PreparsedData> preparsed = layer_->GetPreparsedData(readHandle_.Get());
    if (!preparsed) {
        return false;
    }
    preparsed->GetCaps(&hidCaps_);
    if (&destination != &hidCaps_) {
        std::memcpy(&destination, &hidCaps_, sizeof(HidCaps));
    }
    inputButtonCount_ = 0;
    // As many entries as the device states, so the request is never cut short.
    inputButtonCaps_.assign(hidCaps_.NumberInputButtonCaps, HidButtonCaps{});
    uint16_t length = hidCaps_.NumberInputButtonCaps;
    const uint32_t status = preparsed->GetInputButtonCaps(inputButtonCaps_.data(), &length);
    if (status == kHidpStatusSuccess && length > 0 && !inputButtonCaps_.empty()) {
        // The first entry alone counts, read as a range whether or not it is one.
        const HidButtonCaps& first = inputButtonCaps_.front();
        inputButtonCount_ = uint32_t{first.Range.UsageMax} - uint32_t{first.Range.UsageMin} + 1u;
    }
    return true;
}

ReadResult CHidDevice::ReadInputReport(uint8_t* buffer, uint32_t /*length*/, uint32_t* bytesRead) {
    // The read length is the device's, bounded by the 256 bytes every buffer holds.
    const uint32_t length =
        std::min<uint32_t>(hidCaps_.InputReportByteLength, static_cast<uint32_t>(kInputReportCapacity));
    if (!readState_) {
        connected_.store(false, std::memory_order_release);
        return ReadResult::Failed;
    }
    const ReadOutcome outcome = readState_->Read(readHandle_.Get(), buffer, length, kReadTimeoutMs);
    if (outcome.immediate) {
        *bytesRead = outcome.bytes;  // a read that completed at once reports its count
    }
    switch (outcome.wait) {
        case WaitResult::Arrived:
            if (std::memcmp(buffer, prevInputReport_, length) != 0) {
                std::memcpy(prevInputReport_, buffer, length);
                *bytesRead = outcome.bytes;
                return ReadResult::Changed;
            }
            return ReadResult::Unchanged;
        case WaitResult::TimedOut:
            return ReadResult::Unchanged;
        case WaitResult::Failed:
            break;
    }
    connected_.store(false, std::memory_order_release);
    return ReadResult::Failed;
}

bool CHidDevice::WriteOutputReport(const uint8_t* buffer, uint32_t length, uint32_t* bytesWritten) {
    if (!connected_.load(std::memory_order_acquire) || !layer_) {
        return false;
    }
    if (layer_->Write(writeHandle_.Get(), buffer, length, bytesWritten)) {
        return true;
    }
    // A board that is busy or stalled is still there: the next show_me tries again.
    const uint32_t error = layer_->LastError();
    if (error != kErrorIoPending && error != kErrorTimeout) {
        connected_.store(false, std::memory_order_release);
    }
    return false;
}

void CHidDevice::CloseDevice() {
    CloseHandles();
}

void CHidDevice::CloseHandles() {
    connected_.store(false, std::memory_order_release);
    writeHandle_.Reset();
    // Nothing may complete into the read state once its handle is gone.
    if (readHandle_ && readState_) {
        readState_->Release(readHandle_.Get());
    }
    readHandle_.Reset();
    queryHandle_.Reset();
}

void CHidDevice::WakeReads() {
    if (readState_) {
        readState_->Wake();
    }
}

void CHidDevice::RearmReads() {
    if (readState_) {
        readState_->Rearm();
    }
}

}  // namespace torq
