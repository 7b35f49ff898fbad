// Our own HID report-descriptor parser. It computes what the Windows HID parser would
// report for one top-level collection (HidP_GetCaps and the button capabilities), so
// that the hidraw backend and the virtual bus answer the capability probe the way
// Windows does for the same device.
//
// Windows splits a device whose descriptor holds several top-level collections into
// one interface per collection; hidraw and the virtual bus see the whole descriptor.
// The parser reports the first top-level collection and only checks the rest for
// well-formedness. See report_descriptor.cpp for the rules and for which fields are
// matched against Windows and which are our best reading of its behaviour.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/hid_layer.h"
#include "platform/hid_types.h"

namespace torq {

enum class HidReportType : uint8_t { Input = 0, Output = 1, Feature = 2 };

// HIDP_STATUS_INVALID_REPORT_TYPE, for a report type outside the three above.
inline constexpr uint32_t kHidpStatusInvalidReportType = 0xC0110002u;

struct ParsedDescriptor {
    HidCaps caps{};
    // Button capabilities per report type (index = HidReportType), in the order
    // HidP_GetButtonCaps lists them.
    std::vector<HidButtonCaps> buttonCaps[3];
    // Value capabilities likewise (HidP_GetValueCaps).
    std::vector<HidValueCaps> valueCaps[3];
    // The descriptor declares report IDs (anywhere, in any collection): the device then
    // sends every report with its ID byte first. hidraw hands reports over as the device
    // sent them, so this tells whether byte 0 of a read is already the report ID.
    bool usesReportIds = false;
};

// Parses `size` bytes of a report descriptor. Returns false when the bytes are not a
// usable descriptor; `out` is then unspecified. Never reads outside the given bytes.
bool ParseReportDescriptor(const uint8_t* data, size_t size, ParsedDescriptor& out);

// HidP_GetSpecificButtonCaps over a parsed descriptor: a zero usagePage, linkCollection
// or usage matches any. On entry *length is the capacity of `caps`, on return the number
// of entries written. Returns a HidP status (kHidpStatusSuccess, ...).
uint32_t GetSpecificButtonCaps(const ParsedDescriptor& parsed, HidReportType type,
                               uint16_t usagePage, uint16_t linkCollection, uint16_t usage,
                               HidButtonCaps* caps, uint16_t* length);

// HidP_GetSpecificValueCaps over a parsed descriptor, with the same conventions.
uint32_t GetSpecificValueCaps(const ParsedDescriptor& parsed, HidReportType type,
                              uint16_t usagePage, uint16_t linkCollection, uint16_t usage,
                              HidValueCaps* caps, uint16_t* length);

// Preparsed data computed from a descriptor, for the backends without a HID parser of
// their own (hidraw, virtual). Like Windows preparsed data it stays usable after the
// device is gone.
class DescriptorPreparsedData : public PreparsedData {
public:
    explicit DescriptorPreparsedData(std::shared_ptr<const ParsedDescriptor> parsed)
        : parsed_(std::move(parsed)) {}
    uint32_t GetCaps(HidCaps* caps) const override;
    uint32_t GetInputButtonCaps(HidButtonCaps* caps, uint16_t* length) const override;

private:
    std::shared_ptr<const ParsedDescriptor> parsed_;
};

}  // namespace torq
