// torqpanel_hid_interface_caps: the capabilities that the active HID backend reports for
// one interface path, through the same calls the capability probe makes. It shows what
// the operating system's backend makes of a device (on Linux: its sysfs report
// descriptor through our parser) without opening it for reading or writing.
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>

#include "exports/exports.h"
#include "platform/hid_layer.h"
#include "platform/os.h"

extern "C" TORQ_EXPORT int torqpanel_hid_interface_caps(const char* path, void* caps,
                                                        void* inputButtonCaps, uint16_t* count) {
    if (path == nullptr || caps == nullptr) return 0;
    try {
        const std::shared_ptr<torq::HidLayer> layer = torq::ActiveHidLayer();
        const std::wstring widePath = torq::NarrowToWide(path);
        const torq::OwnedHandle handle = torq::OpenHandle(layer, widePath.c_str(), torq::OpenMode::Query);
        if (!handle) return 0;
        int result = 0;
        if (const std::unique_ptr<torq::PreparsedData> preparsed = layer->GetPreparsedData(handle.Get())) {
            torq::HidCaps found{};
            preparsed->GetCaps(&found);
            std::memcpy(caps, &found, sizeof found);
            if (count != nullptr) {
                uint16_t written = inputButtonCaps == nullptr ? 0 : *count;
                const uint32_t status = preparsed->GetInputButtonCaps(
                    static_cast<torq::HidButtonCaps*>(inputButtonCaps), &written);
                // No caps at all, or more than fit, still leave what was written.
                *count = status == torq::kHidpStatusInvalidPreparsedData ? uint16_t{0} : written;
            }
            result = 1;
        }
        return result;
    } catch (const std::exception&) {
        // Nothing may unwind into a C caller.
        return 0;
    }
}
