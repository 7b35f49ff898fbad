// The report-descriptor parser with any bytes: no crash, hang or read outside the input
// (libFuzzer hands each input over in a heap block of exactly its size), and the caps it
// reports always agree with themselves and with the button-caps query.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/report_descriptor.h"

namespace {

using torq::HidButtonCaps;
using torq::ParsedDescriptor;

[[noreturn]] void Fail(const char* why, size_t type) {
    std::fprintf(stderr, "descriptor: %s (report type %zu)\n", why, type);
    std::abort();
}

struct TypeCounts {
    uint16_t length, buttons, values, indices;
};

TypeCounts CountsOf(const torq::HidCaps& c, size_t type) {
    const TypeCounts counts[] = {
        {c.InputReportByteLength, c.NumberInputButtonCaps, c.NumberInputValueCaps, c.NumberInputDataIndices},
        {c.OutputReportByteLength, c.NumberOutputButtonCaps, c.NumberOutputValueCaps,
         c.NumberOutputDataIndices},
        {c.FeatureReportByteLength, c.NumberFeatureButtonCaps, c.NumberFeatureValueCaps,
         c.NumberFeatureDataIndices}};
    return counts[type];
}

// Why a button cap disagrees with the caps and counts of its report type; null if it agrees.
const char* ButtonCapFault(const HidButtonCaps& cap, const torq::HidCaps& caps, const TypeCounts& counts) {
    if (cap.LinkCollection >= caps.NumberLinkCollectionNodes) return "button cap in a missing collection";
    if (cap.ReportCount == 0) return "button cap without fields";
    const auto& range = cap.Range;
    if (!cap.IsRange) {
        return cap.NotRange.DataIndex >= counts.indices ? "data index beyond the count" : nullptr;
    }
    if (range.UsageMin > range.UsageMax || range.DataIndexMin > range.DataIndexMax) {
        return "range runs backwards";
    }
    if (range.UsageMax - range.UsageMin != range.DataIndexMax - range.DataIndexMin) {
        return "usage range and data-index range differ in size";
    }
    return range.DataIndexMax >= counts.indices ? "data index beyond the count" : nullptr;
}

// The query with every capacity from 0 to one past the count, and with filters taken
// from the caps themselves.
void CheckQuery(const ParsedDescriptor& parsed, size_t type) {
    const std::vector<HidButtonCaps>& all = parsed.buttonCaps[type];
    const auto reportType = static_cast<torq::HidReportType>(type);
    std::vector<HidButtonCaps> out(all.size() + 1);
    for (size_t capacity = 0; capacity <= all.size() + 1 && capacity <= 8; ++capacity) {
        auto length = static_cast<uint16_t>(capacity);
        const uint32_t status = torq::GetSpecificButtonCaps(parsed, reportType, 0, 0, 0, out.data(), &length);
        if (length != std::min(capacity, all.size())) Fail("query wrote another number than fit", type);
        const uint32_t expected = all.empty()              ? torq::kHidpStatusUsageNotFound
                                  : capacity < all.size() ? torq::kHidpStatusBufferTooSmall
                                                          : torq::kHidpStatusSuccess;
        if (status != expected) Fail("query status", type);
    }
    for (size_t i = 0; i < all.size() && i < 4; ++i) {
        const HidButtonCaps& cap = all[i];
        auto length = static_cast<uint16_t>(out.size());
        const uint16_t usage = cap.IsRange ? cap.Range.UsageMin : cap.NotRange.Usage;
        torq::GetSpecificButtonCaps(parsed, reportType, cap.UsagePage, cap.LinkCollection, usage,
                                    out.data(), &length);
        if (length == 0) Fail("a cap does not match a query made from itself", type);
        for (uint16_t k = 0; k < length; ++k) {
            if (cap.UsagePage != 0 && out[k].UsagePage != cap.UsagePage) {
                Fail("query returned a cap of another usage page", type);
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ParsedDescriptor parsed;
    if (!torq::ParseReportDescriptor(data, size, parsed)) return 0;
    const torq::HidCaps& caps = parsed.caps;
    if (caps.NumberLinkCollectionNodes == 0) Fail("a parsed descriptor without a collection", 0);
    for (size_t type = 0; type < 3; ++type) {
        const TypeCounts counts = CountsOf(caps, type);
        if (counts.buttons != parsed.buttonCaps[type].size()) Fail("button cap count is not the caps'", type);
        // A report type with value caps that take room has a report of at least the ID
        // byte and one data byte. Fields of zero bits take none; button caps do not say
        // their size, so only value caps are checked.
        const auto& values = parsed.valueCaps[type];
        const bool takesRoom =
            std::any_of(values.begin(), values.end(), [](const torq::HidValueCaps& v) { return v.BitSize * v.ReportCount != 0; });
        if (takesRoom && counts.length < 2) Fail("caps without a report length", type);
        if (counts.length == 1) Fail("a report of the ID byte alone", type);
        if (counts.indices < counts.buttons + counts.values) Fail("fewer data indices than caps", type);
        for (const HidButtonCaps& cap : parsed.buttonCaps[type]) {
            if (const char* why = ButtonCapFault(cap, caps, counts)) Fail(why, type);
        }
        CheckQuery(parsed, type);
    }
    return 0;
}
