// The Linux HID backend. No HID interfaces are reported on this platform yet: the
// interface set is always empty, so a discovery pass ends at its first enumeration, and
// every call on a handle fails the way it would for a handle this layer never gave out.
#include <atomic>
#include <memory>

#include "platform/hid_layer.h"

namespace torq {

namespace {

class EmptyInterfaceSet final : public InterfaceSet {
public:
    bool Enumerate(uint32_t) override {
        SetThreadHidError(kErrorNoMoreItems);
        return false;
    }
    bool Detail(InterfaceDetail*, uint32_t, uint32_t*) override {
        SetThreadHidError(kErrorNoMoreItems);
        return false;
    }
};

class HidrawReadState final : public ReadState {
public:
    ReadOutcome Read(HidHandle, uint8_t*, uint32_t, uint32_t) override {
        if (woken_) {
            SetThreadHidError(kErrorSuccess);
            return {WaitResult::TimedOut, 0, false};
        }
        SetThreadHidError(kErrorInvalidHandle);
        return {WaitResult::Failed, 0, false};
    }
    void Wake() override { woken_ = true; }
    void Rearm() override { woken_ = false; }
    void Release(HidHandle) override {}

private:
    std::atomic<bool> woken_{false};
};

class HidrawLayer final : public HidLayer {
public:
    uint32_t LastError() const override { return ThreadHidError(); }

    std::unique_ptr<InterfaceSet> OpenInterfaceSet() override {
        SetThreadHidError(kErrorSuccess);
        return std::make_unique<EmptyInterfaceSet>();
    }

    HidHandle Open(const wchar_t*, OpenMode) override {
        SetThreadHidError(kErrorFileNotFound);
        return kInvalidHandle;
    }

    void Close(HidHandle) override { SetThreadHidError(kErrorInvalidHandle); }

    bool GetAttributes(HidHandle, HidAttributes*) override { return NoSuchHandle(); }
    bool GetSerialNumberString(HidHandle, wchar_t*, uint32_t) override { return NoSuchHandle(); }
    bool SetNumInputBuffers(HidHandle, uint32_t) override { return NoSuchHandle(); }

    std::unique_ptr<PreparsedData> GetPreparsedData(HidHandle) override {
        NoSuchHandle();
        return nullptr;
    }

    bool Write(HidHandle, const uint8_t*, uint32_t, uint32_t* written) override {
        if (written != nullptr) {
            *written = 0;
        }
        return NoSuchHandle();
    }

    std::unique_ptr<ReadState> CreateReadState() override {
        SetThreadHidError(kErrorSuccess);
        return std::make_unique<HidrawReadState>();
    }

private:
    static bool NoSuchHandle() {
        SetThreadHidError(kErrorInvalidHandle);
        return false;
    }
};

}  // namespace

std::shared_ptr<HidLayer> CreateOsHidLayer() {
    return std::make_shared<HidrawLayer>();
}

}  // namespace torq
