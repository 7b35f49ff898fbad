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
    moduleKeyBlock = keyBlock;
    std::memset(moduleKeyBlock, 0, kModuleKeyBlockSize);
}

CHidDevice::~CHidDevice() {
    CloseDevice();
    interfaceDetail.reset();
}

int32_t CHidDevice::DiscoverAndOpen() {
    openState = kOpenNone;
    std::fill(std::begin(serialNumber), std::end(serialNumber), L'\0');

    CloseDevice();
    detailSize = 0;
    interfaceDetail.reset();

    // A pass uses the layer that is active now; the read state belongs to the layer
    // that made it, so it goes when the layer changes.
    std::shared_ptr<HidLayer> active = ActiveHidLayer();
    if (active != layer_) {
        readState_.reset();
        layer_ = std::move(active);
    }
    HidLayer& layer = *layer_;
    // A call counts as failed when it fails, and also when it succeeds but leaves an
    // error behind.
    auto succeeded = [&layer](bool ok) { return ok && layer.LastError() == kErrorSuccess; };

    std::unique_ptr<InterfaceSet> set = layer.OpenInterfaceSet();
    uint32_t memberIndex = 0;
    bool opened = false;
    bool passEnded = false;
    while (!passEnded) {
        SleepMs(kInterfacePause);
        do {  // one interface; `break` passes it over
            if (!succeeded(set->Enumerate(memberIndex))) {
                passEnded = true;
                break;
            }
            // The first detail query only sizes the record; anything but
            // "insufficient buffer" means the set is unusable.
            if (set->Detail(nullptr, 0, &detailSize) || layer.LastError() != kErrorInsufficientBuffer) {
                passEnded = true;
                break;
            }
            // Room for at least the header and one character, whatever size was stated.
            const size_t allocation = std::max<size_t>(detailSize, sizeof(InterfaceDetail));
            interfaceDetail = std::make_unique<std::byte[]>(allocation);
            auto* detail = reinterpret_cast<InterfaceDetail*>(interfaceDetail.get());
            detail->DevicePath[0] = L'\0';
            detail->cbSize = kInterfaceDetailHeaderSize;
            uint32_t secondDetailSize = 0;
            if (!succeeded(set->Detail(detail, detailSize, &secondDetailSize))) {
                passEnded = true;
                break;
            }
            // The path ends at its zero or at the end of the record, whichever is first.
            const size_t maxChars = (allocation - offsetof(InterfaceDetail, DevicePath)) / sizeof(wchar_t);
            const std::wstring path(detail->DevicePath, wcsnlen(detail->DevicePath, maxChars));

            queryHandle = layer.Open(path.c_str(), OpenMode::Query);
            if (!IsOpenHandle(queryHandle)) {
                break;  // keeps kInvalidHandle: nothing else of this interface is open
            }
            if (layer.LastError() != kErrorSuccess) {
                // Counted as failed although a handle came back: close it rather than
                // lose it when the next interface overwrites the field.
                layer.Close(queryHandle);
                queryHandle = kNullHandle;
                break;
            }
            HidAttributes attributes{};
            attributes.Size = sizeof(HidAttributes);
            if (!succeeded(layer.GetAttributes(queryHandle, &attributes)) ||
                attributes.VendorID != targetVendorId || attributes.ProductID != targetProductId) {
                layer.Close(queryHandle);
                queryHandle = kNullHandle;
                break;
            }
            devicePath = path;

            writeHandle = layer.Open(path.c_str(), OpenMode::Write);
            if (!IsOpenHandle(writeHandle)) {
                layer.Close(queryHandle);
                queryHandle = kNullHandle;
                writeHandle = kNullHandle;
                break;
            }
            readHandle = OpenReadHandle(path.c_str());
            if (!IsOpenHandle(readHandle)) {
                layer.Close(writeHandle);
                layer.Close(queryHandle);
                queryHandle = writeHandle = readHandle = kNullHandle;
                break;
            }
            layer.SetNumInputBuffers(readHandle, kInputBuffers);
            openState = kOpenHandles;
            SleepMs(kOpenPause);

            ReadIdentity(attributes);
            if (!serialFilter.empty() && serialFilter != SerialText()) {
                openState = kOpenNone;
                std::fill(std::begin(serialNumber), std::end(serialNumber), L'\0');
                CloseHandles();
                break;
            }
            openState = kOpenReady;
            ProbeCapabilities(hidCaps);
            opened = true;
            passEnded = true;
        } while (false);

        interfaceDetail.reset();
        ++memberIndex;
        connected.store(opened, std::memory_order_release);
    }

    set.reset();
    PublishPassSummary(memberIndex, opened);
    return static_cast<int32_t>(openState);
}

HidHandle CHidDevice::OpenReadHandle(const wchar_t* path) {
    const HidHandle handle = layer_->Open(path, OpenMode::Read);
    if (!readState_) {
        readState_ = layer_->CreateReadState();
    }
    std::fill(std::begin(prevInputReport), std::end(prevInputReport), uint8_t{0});
    return handle;
}

void CHidDevice::ReadIdentity(const HidAttributes& attributes) {
    std::fill(std::begin(firmwareText), std::end(firmwareText), L'\0');
    const unsigned high = (attributes.VersionNumber >> 8) & 0xFFu;
    const unsigned low = attributes.VersionNumber & 0xFFu;
    std::swprintf(firmwareText, kFirmwareChars, L"%x.%02x", high, low);

    std::fill(std::begin(serialNumber), std::end(serialNumber), L'\0');
    if (!layer_->GetSerialNumberString(readHandle, serialNumber, sizeof(serialNumber))) {
        // No serial string, or the request failed: the device stays acceptable.
        std::fill(std::begin(serialNumber), std::end(serialNumber), L'\0');
    }
}

std::wstring CHidDevice::SerialText() const {
    return std::wstring(serialNumber, wcsnlen(serialNumber, kSerialChars));
}

void CHidDevice::PublishPassSummary(uint32_t enumerationCalls, bool opened) {
    const uint32_t openedFlag = opened ? 1u : 0u;
    std::memcpy(moduleKeyBlock + kKeyBlockEnumCallsOffset, &enumerationCalls, sizeof enumerationCalls);
    std::memcpy(moduleKeyBlock + kKeyBlockOpenedOffset, &openedFlag, sizeof openedFlag);
    // UTF-16LE on every platform, so one native reader serves Windows and Linux. The
    // whole text area is cleared first, so no tail of a longer earlier serial survives.
    uint8_t* text = moduleKeyBlock + kKeyBlockSerialOffset;
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

int32_t CHidDevice::ProbeCapabilities(HidCaps& destination) {
    if (readHandle == kInvalidHandle || !layer_) {
        return 0;
    }
    const std::unique_ptr<PreparsedData> preparsed = layer_->GetPreparsedData(readHandle);
    if (!preparsed) {
        return 0;
    }
    preparsed->GetCaps(&hidCaps);
    if (&destination != &hidCaps) {
        std::memcpy(&destination, &hidCaps, sizeof(HidCaps));
    }
    inputButtonCount = 0;
    // As many entries as the device states, so the request is never cut short.
    inputButtonCaps.assign(hidCaps.NumberInputButtonCaps, HidButtonCaps{});
    uint16_t length = hidCaps.NumberInputButtonCaps;
    const uint32_t status = preparsed->GetInputButtonCaps(inputButtonCaps.data(), &length);
    if (status == kHidpStatusSuccess && length > 0 && !inputButtonCaps.empty()) {
        // The first entry alone counts, read as a range whether or not it is one.
        const HidButtonCaps& first = inputButtonCaps.front();
        inputButtonCount = uint32_t{first.Range.UsageMax} - uint32_t{first.Range.UsageMin} + 1u;
    }
    return 1;
}

int32_t CHidDevice::ReadInputReport(uint8_t* buffer, uint32_t /*length*/, uint32_t* bytesRead) {
    // The read length is the device's, bounded by the 256 bytes every buffer holds.
    const uint32_t length =
        std::min<uint32_t>(hidCaps.InputReportByteLength, static_cast<uint32_t>(kInputReportCapacity));
    if (readHandle == kInvalidHandle) {
        return 0;
    }
    if (!readState_) {
        connected.store(false, std::memory_order_release);
        return -1;
    }
    const ReadOutcome outcome = readState_->Read(readHandle, buffer, length, kReadTimeoutMs);
    if (outcome.immediate) {
        *bytesRead = outcome.bytes;  // a read that completed at once reports its count
    }
    switch (outcome.wait) {
        case WaitResult::Arrived:
            if (std::memcmp(buffer, prevInputReport, length) != 0) {
                std::memcpy(prevInputReport, buffer, length);
                *bytesRead = outcome.bytes;
                return 1;
            }
            return 0;
        case WaitResult::TimedOut:
            return 0;
        case WaitResult::Failed:
            break;
    }
    connected.store(false, std::memory_order_release);
    return -1;
}

int32_t CHidDevice::WriteOutputReport(const uint8_t* buffer, uint32_t length, uint32_t* bytesWritten) {
    if (writeHandle == kInvalidHandle || !connected.load(std::memory_order_acquire) || !layer_) {
        return 0;
    }
    if (layer_->Write(writeHandle, buffer, length, bytesWritten)) {
        return 1;
    }
    // A board that is busy or stalled is still there: the next show_me tries again.
    const uint32_t error = layer_->LastError();
    if (error != kErrorIoPending && error != kErrorTimeout) {
        connected.store(false, std::memory_order_release);
    }
    return 0;
}

void CHidDevice::CloseDevice() {
    connected.store(false, std::memory_order_release);
    if (queryHandle != kInvalidHandle && layer_) {
        CloseHandles();
    }
    queryHandle = writeHandle = readHandle = kNullHandle;
}

void CHidDevice::CloseHandles() {
    connected.store(false, std::memory_order_release);
    if (IsOpenHandle(writeHandle)) {
        layer_->Close(writeHandle);
    }
    if (IsOpenHandle(readHandle)) {
        // Nothing may complete into the read state once its handle is gone.
        if (readState_) {
            readState_->Release(readHandle);
        }
        layer_->Close(readHandle);
    }
    if (IsOpenHandle(queryHandle)) {
        layer_->Close(queryHandle);
    }
    queryHandle = writeHandle = readHandle = kNullHandle;
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
