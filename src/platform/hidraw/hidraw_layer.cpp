// The Linux HID backend: hidraw nodes found through sysfs.
//
// The interface set is /sys/class/hidraw in device-number order, an interface path is
// the node (/dev/hidrawN). A handle is an open descriptor on the node: O_PATH for the
// query handle (attributes need no access rights: they come from sysfs), write-only for
// the write handle, read-only and non-blocking for the read handle. The identity comes
// from the HID device's uevent (HID_ID, HID_UNIQ), the version from the bcdDevice of
// the USB device above it, the capabilities from its report descriptor through our own
// parser. Reports keep the Windows shape: a write passes the caller's bytes unchanged
// (report ID 0 first is what hidraw expects of a device without numbered reports), and
// a read of such a device gets the 0 put in front (hidraw_read.cpp).
#include <fcntl.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <memory>

#include "platform/hid_layer.h"
#include "platform/hidraw/hidraw_handles.h"
#include "platform/hidraw/hidraw_read.h"
#include "platform/hidraw/hidraw_sysfs.h"
#include "platform/report_descriptor.h"
#include "platform/text.h"

namespace torq {

namespace {

using hidraw::HandleTable;
using hidraw::NodeEntry;
using hidraw::OpenNode;
using hidraw::UniqueFd;

constexpr size_t kUeventLimit = 64 * 1024;
constexpr size_t kDescriptorLimit = 64 * 1024;  // the kernel's own limit is 4096

// A failed sysfs read of a device we had found: gone, or something else broke.
uint32_t SysfsError(int error) {
    return error == ENOENT || error == ENODEV ? kErrorDeviceNotConnected : kErrorGenFailure;
}

// A snapshot of the hidraw nodes, like a SetupDi device information set: devices that
// come or go later do not change the members.
class HidrawInterfaceSet final : public InterfaceSet {
public:
    explicit HidrawInterfaceSet(std::vector<NodeEntry> nodes) : nodes_(std::move(nodes)) {}

    bool Enumerate(uint32_t index) override {
        selected_ = index < nodes_.size() ? std::optional<uint32_t>(index) : std::nullopt;
        SetThreadHidError(selected_ ? kErrorSuccess : kErrorNoMoreItems);
        return selected_.has_value();
    }

    bool Detail(InterfaceDetail* detail, uint32_t detailSize, uint32_t* requiredSize) override {
        if (!selected_) {
            SetThreadHidError(kErrorInvalidParameter);
            return false;
        }
        return AnswerInterfaceDetail(Utf8ToWideLossy(nodes_[*selected_].devicePath), detail, detailSize,
                                     requiredSize);
    }

private:
    std::vector<NodeEntry> nodes_;
    std::optional<uint32_t> selected_;
};

// The report descriptor of the HID device in `hidDir`, parsed; null with the thread's
// error set when it cannot be read or does not parse.
std::unique_ptr<ParsedDescriptor> ParsedDescriptorOf(const std::string& hidDir) {
    if (hidDir.empty()) {
        SetThreadHidError(kErrorGenFailure);
        return nullptr;
    }
    const auto bytes = hidraw::ReadAttribute(hidDir + "/report_descriptor", kDescriptorLimit);
    if (!bytes) {
        SetThreadHidError(SysfsError(errno));
        return nullptr;
    }
    auto parsed = std::make_unique<ParsedDescriptor>();
    if (!ParseReportDescriptor(bytes->data(), bytes->size(), *parsed)) {
        SetThreadHidError(kErrorGenFailure);
        return nullptr;
    }
    SetThreadHidError(kErrorSuccess);
    return parsed;
}

// The HID device's uevent text; nullopt with the thread's error set.
std::optional<std::string> UeventOf(const OpenNode& node) {
    if (node.hidDir.empty()) {
        SetThreadHidError(kErrorGenFailure);
        return std::nullopt;
    }
    const auto bytes = hidraw::ReadAttribute(node.hidDir + "/uevent", kUeventLimit);
    if (!bytes) {
        SetThreadHidError(SysfsError(errno));
        return std::nullopt;
    }
    return std::string(bytes->begin(), bytes->end());
}

class HidrawLayer final : public HidLayer {
public:
    uint32_t LastError() const override { return ThreadHidError(); }

    std::unique_ptr<InterfaceSet> OpenInterfaceSet() override {
        auto set = std::make_unique<HidrawInterfaceSet>(hidraw::ListNodes());
        SetThreadHidError(kErrorSuccess);
        return set;
    }

    HidHandle Open(const wchar_t* path, OpenMode mode) override {
        if (path == nullptr) {
            SetThreadHidError(kErrorInvalidParameter);
            return kInvalidHandle;
        }
        const std::string nodePath = WideToUtf8(path);
        int flags = O_CLOEXEC;
        switch (mode) {
            case OpenMode::Query: flags |= O_PATH; break;
            case OpenMode::Write: flags |= O_WRONLY | O_NOCTTY; break;
            case OpenMode::Read: flags |= O_RDONLY | O_NOCTTY | O_NONBLOCK; break;
        }
        int fd = -1;
        do {
            fd = open(nodePath.c_str(), flags);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0) {
            // A node gone since the enumeration, or one this user may not open: the
            // device code passes over the interface either way.
            SetThreadHidError(hidraw::OpenError(errno));
            return kInvalidHandle;
        }
        auto node = std::make_shared<OpenNode>();
        node->fd = UniqueFd(fd);
        node->mode = mode;
        node->hidDir = hidraw::HidDeviceDirOf(nodePath);
        if (mode == OpenMode::Read) {
            const std::unique_ptr<ParsedDescriptor> parsed = ParsedDescriptorOf(node->hidDir);
            node->prependReportId = parsed != nullptr && !parsed->usesReportIds;
        }
        const HidHandle handle = handles_->Add(std::move(node));
        SetThreadHidError(kErrorSuccess);
        return handle;
    }

    void Close(HidHandle handle) override {
        SetThreadHidError(handles_->Remove(handle) ? kErrorSuccess : kErrorInvalidHandle);
    }

    bool GetAttributes(HidHandle handle, HidAttributes* attributes) override {
        const std::shared_ptr<OpenNode> node = Find(handle);
        if (!node) {
            return false;
        }
        if (attributes == nullptr) {
            SetThreadHidError(kErrorInvalidParameter);
            return false;
        }
        const std::optional<std::string> uevent = UeventOf(*node);
        if (!uevent) {
            return false;
        }
        const auto hidId = hidraw::UeventValue(*uevent, "HID_ID");
        const std::optional<hidraw::HidId> id = hidId ? hidraw::ParseHidId(*hidId) : std::nullopt;
        if (!id) {
            SetThreadHidError(kErrorGenFailure);
            return false;
        }
        attributes->Size = sizeof(HidAttributes);
        attributes->VendorID = id->vendor;
        attributes->ProductID = id->product;
        // Only USB devices carry a version in sysfs; Bluetooth and the rest report 0.
        attributes->VersionNumber = id->bus == hidraw::kBusUsb ? hidraw::UsbVersionAbove(node->hidDir) : 0;
        SetThreadHidError(kErrorSuccess);
        return true;
    }

    bool GetSerialNumberString(HidHandle handle, wchar_t* buffer, uint32_t bufferBytes) override {
        const std::shared_ptr<OpenNode> node = Find(handle);
        if (!node) {
            return false;
        }
        if (buffer == nullptr) {
            SetThreadHidError(kErrorInvalidParameter);
            return false;
        }
        const std::optional<std::string> uevent = UeventOf(*node);
        if (!uevent) {
            return false;
        }
        const auto uniq = hidraw::UeventValue(*uevent, "HID_UNIQ");
        if (!uniq || uniq->empty()) {
            SetThreadHidError(kErrorGenFailure);  // the device has no serial number string
            return false;
        }
        return AnswerSerialNumber(Utf8ToWideLossy(*uniq), buffer, bufferBytes);
    }

    // hidraw has no such setting (the kernel queues 64 reports per open file); the read
    // state takes the number instead and keeps only that many of the newest reports.
    bool SetNumInputBuffers(HidHandle handle, uint32_t count) override {
        const std::shared_ptr<OpenNode> node = Find(handle);
        if (!node) {
            return false;
        }
        if (!AcceptInputBufferCount(count)) {
            return false;
        }
        node->inputBuffers.store(count, std::memory_order_relaxed);
        SetThreadHidError(kErrorSuccess);
        return true;
    }

    std::unique_ptr<PreparsedData> GetPreparsedData(HidHandle handle) override {
        const std::shared_ptr<OpenNode> node = Find(handle);
        if (!node) {
            return nullptr;
        }
        std::unique_ptr<ParsedDescriptor> parsed = ParsedDescriptorOf(node->hidDir);
        if (!parsed) {
            return nullptr;
        }
        // The capabilities of the descriptor as sysfs gave it when they were asked for.
        return std::make_unique<DescriptorPreparsedData>(std::move(parsed));
    }

    bool Write(HidHandle handle, const uint8_t* data, uint32_t length, uint32_t* written) override {
        if (written != nullptr) {
            *written = 0;
        }
        const std::shared_ptr<OpenNode> node = Find(handle);
        if (!node) {
            return false;
        }
        if (node->mode != OpenMode::Write) {
            SetThreadHidError(kErrorAccessDenied);
            return false;
        }
        if (data == nullptr && length != 0) {
            SetThreadHidError(kErrorInvalidParameter);
            return false;
        }
        ssize_t n = -1;
        do {
            n = write(node->fd.Get(), data, length);
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
            SetThreadHidError(hidraw::IoError(errno));
            return false;
        }
        if (written != nullptr) {
            *written = static_cast<uint32_t>(n);
        }
        // hidraw takes a report whole or not at all; anything else is a broken write.
        SetThreadHidError(static_cast<size_t>(n) == length ? kErrorSuccess : kErrorGenFailure);
        return static_cast<size_t>(n) == length;
    }

    std::unique_ptr<ReadState> CreateReadState() override {
        UniqueFd wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        if (!wake.Valid()) {
            SetThreadHidError(kErrorGenFailure);
            return nullptr;
        }
        SetThreadHidError(kErrorSuccess);
        return std::make_unique<hidraw::HidrawReadState>(handles_, std::move(wake));
    }

private:
    // The node behind a handle; null with kErrorInvalidHandle for one this layer did not
    // give out or has closed.
    std::shared_ptr<OpenNode> Find(HidHandle handle) const {
        std::shared_ptr<OpenNode> node = handles_->Find(handle);
        if (!node) {
            SetThreadHidError(kErrorInvalidHandle);
        }
        return node;
    }

    std::shared_ptr<HandleTable> handles_ = std::make_shared<HandleTable>();
};

}  // namespace

std::shared_ptr<HidLayer> CreateOsHidLayer() {
    return std::make_shared<HidrawLayer>();
}

}  // namespace torq
