// The report-descriptor parser with any bytes: no crash, hang or read outside the input
// (libFuzzer hands each input over in a heap block of exactly its size), and the caps it
// reports always agree with themselves and with the button-caps query.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/report_descriptor.h"

using torq::HidButtonCaps;

// Why the caps of one report type (length, button caps, value caps, data indices)
// disagree with themselves or with the button-caps query; null when they agree.
static const char* Fault(const torq::ParsedDescriptor& parsed, size_t type, uint16_t length, uint16_t buttons,
                         uint16_t values, uint16_t indices) {
    const std::vector<HidButtonCaps>& all = parsed.buttonCaps[type];
    if (buttons != all.size()) return "button cap count is not the caps'";
    // Value caps that take room make a report of at least the ID byte and one data byte.
    // Fields of zero bits take none; button caps do not say their size.
    const auto& v = parsed.valueCaps[type];
    if (length < 2 && std::any_of(v.begin(), v.end(), [](auto& c) { return c.BitSize * c.ReportCount != 0; })) {
        return "caps without a report length";
    }
    if (length == 1) return "a report of the ID byte alone";
    if (indices < buttons + values) return "fewer data indices than caps";
    for (const HidButtonCaps& cap : all) {
        const auto& r = cap.Range;
        if (cap.LinkCollection >= parsed.caps.NumberLinkCollectionNodes) return "button cap in a missing collection";
        if (cap.ReportCount == 0) return "button cap without fields";
        if (cap.IsRange && (r.UsageMin > r.UsageMax || r.DataIndexMin > r.DataIndexMax)) return "range runs backwards";
        if (cap.IsRange && r.UsageMax - r.UsageMin != r.DataIndexMax - r.DataIndexMin) {
            return "usage range and data-index range differ in size";
        }
        if ((cap.IsRange ? r.DataIndexMax : cap.NotRange.DataIndex) >= indices) return "data index beyond the count";
    }
    // The query with every capacity from 0 to one past the count, then with filters
    // taken from the caps themselves.
    const auto reportType = static_cast<torq::HidReportType>(type);
    std::vector<HidButtonCaps> out(all.size() + 1);
    for (size_t capacity = 0; capacity <= all.size() + 1 && capacity <= 8; ++capacity) {
        auto n = static_cast<uint16_t>(capacity);
        const uint32_t status = torq::GetSpecificButtonCaps(parsed, reportType, 0, 0, 0, out.data(), &n);
        if (n != std::min(capacity, all.size())) return "query wrote another number than fit";
        if (status != (all.empty()              ? torq::kHidpStatusUsageNotFound
                       : capacity < all.size() ? torq::kHidpStatusBufferTooSmall
                                               : torq::kHidpStatusSuccess)) {
            return "query status";
        }
    }
    for (size_t i = 0; i < all.size() && i < 4; ++i) {
        const HidButtonCaps& cap = all[i];
        auto n = static_cast<uint16_t>(out.size());
        torq::GetSpecificButtonCaps(parsed, reportType, cap.UsagePage, cap.LinkCollection,
                                    cap.IsRange ? cap.Range.UsageMin : cap.NotRange.Usage, out.data(), &n);
        if (n == 0) return "a cap does not match a query made from itself";
        for (uint16_t k = 0; k < n; ++k) {
            if (cap.UsagePage != 0 && out[k].UsagePage != cap.UsagePage) return "query gave another usage page";
        }
    }
    return nullptr;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    torq::ParsedDescriptor parsed;
    if (!torq::ParseReportDescriptor(data, size, parsed)) return 0;
    const torq::HidCaps& c = parsed.caps;
    const char* why = c.NumberLinkCollectionNodes == 0 ? "a parsed descriptor without a collection" : nullptr;
    const std::array<std::array<uint16_t, 4>, 3> types{{
        {c.InputReportByteLength, c.NumberInputButtonCaps, c.NumberInputValueCaps, c.NumberInputDataIndices},
        {c.OutputReportByteLength, c.NumberOutputButtonCaps, c.NumberOutputValueCaps, c.NumberOutputDataIndices},
        {c.FeatureReportByteLength, c.NumberFeatureButtonCaps, c.NumberFeatureValueCaps, c.NumberFeatureDataIndices},
    }};
    for (size_t type = 0; type < 3 && !why; ++type) {
        const auto [length, buttons, values, indices] = types[type];
        why = Fault(parsed, type, length, buttons, values, indices);
    }
    if (!why) return 0;
    std::fprintf(stderr, "descriptor: %s\n", why);
    std::abort();
}
