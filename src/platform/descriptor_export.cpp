// torqpanel_vhid_descriptor_caps: the descriptor parser behind a C entry point, so the
// Python facade can check a descriptor's caps without building a bus.
#include <cstring>
#include <exception>

#include "platform/report_descriptor.h"
#include "platform/virtual/vhid_api.h"

extern "C" TORQ_EXPORT int torqpanel_vhid_descriptor_caps(const uint8_t* descriptor, size_t size,
                                                          void* caps, int reportType,
                                                          void* buttonCaps, uint16_t* count) {
    if (reportType < 0 || reportType > 2) return 0;
    try {
        torq::ParsedDescriptor parsed;
        if (!torq::ParseReportDescriptor(descriptor, size, parsed)) return 0;
        if (caps != nullptr) std::memcpy(caps, &parsed.caps, sizeof(torq::HidCaps));
        if (count != nullptr) {
            const auto type = static_cast<torq::HidReportType>(reportType);
            uint16_t written = buttonCaps == nullptr ? 0 : *count;
            // Success, BufferTooSmall and UsageNotFound (no caps) all leave what fits.
            const uint32_t status = torq::GetSpecificButtonCaps(
                parsed, type, 0, 0, 0, static_cast<torq::HidButtonCaps*>(buttonCaps), &written);
            if (status == torq::kHidpStatusInvalidPreparsedData) return 0;
            // The parser keeps the number of caps far below 65535.
            *count = static_cast<uint16_t>(parsed.buttonCaps[static_cast<size_t>(reportType)].size());
        }
        return 1;
    } catch (const std::exception&) {
        // Nothing may unwind into a C caller.
        return 0;
    }
}
