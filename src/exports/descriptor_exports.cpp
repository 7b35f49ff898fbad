// torqpanel_vhid_descriptor_caps and torqpanel_vhid_descriptor_value_caps: the
// descriptor parser behind C entry points, so the Python facade can check a
// descriptor's caps without building a bus.
#include <cstring>
#include <exception>

#include "exports/exports.h"
#include "platform/report_descriptor.h"

namespace {

// Parses the descriptor, copies the top-level caps to `caps` (if given) and the caps of
// one report type that `list` picks to `out` (up to *count; *count becomes the number
// available). 1, or 0 for a descriptor that does not parse or a bad report type.
template <typename Cap, typename List, typename Get>
int DescriptorCaps(const uint8_t* descriptor, size_t size, void* caps, int reportType, void* out,
                   uint16_t* count, List list, Get get) {
    if (reportType < 0 || reportType > 2) return 0;
    try {
        torq::ParsedDescriptor parsed;
        if (!torq::ParseReportDescriptor(descriptor, size, parsed)) return 0;
        if (caps != nullptr) std::memcpy(caps, &parsed.caps, sizeof(torq::HidCaps));
        if (count != nullptr) {
            const auto type = static_cast<torq::HidReportType>(reportType);
            uint16_t written = out == nullptr ? 0 : *count;
            // Success, BufferTooSmall and UsageNotFound (no caps) all leave what fits.
            const uint32_t status = get(parsed, type, 0, 0, 0, static_cast<Cap*>(out), &written);
            if (status == torq::kHidpStatusInvalidPreparsedData) return 0;
            // The parser keeps the number of caps far below 65535.
            *count = static_cast<uint16_t>((parsed.*list)[static_cast<size_t>(reportType)].size());
        }
        return 1;
    } catch (const std::exception&) {
        // Nothing may unwind into a C caller.
        return 0;
    }
}

}  // namespace

extern "C" TORQ_EXPORT int torqpanel_vhid_descriptor_caps(const uint8_t* descriptor, size_t size,
                                                          void* caps, int reportType,
                                                          void* buttonCaps, uint16_t* count) {
    return DescriptorCaps<torq::HidButtonCaps>(descriptor, size, caps, reportType, buttonCaps, count,
                                               &torq::ParsedDescriptor::buttonCaps,
                                               torq::GetSpecificButtonCaps);
}

extern "C" TORQ_EXPORT int torqpanel_vhid_descriptor_value_caps(const uint8_t* descriptor, size_t size,
                                                                int reportType, void* valueCaps,
                                                                uint16_t* count) {
    return DescriptorCaps<torq::HidValueCaps>(descriptor, size, nullptr, reportType, valueCaps, count,
                                              &torq::ParsedDescriptor::valueCaps,
                                              torq::GetSpecificValueCaps);
}
