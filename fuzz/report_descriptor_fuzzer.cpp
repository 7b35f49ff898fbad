// The report-descriptor parser with any bytes: no crash, hang or read outside the input
// (libFuzzer hands each input over in a heap block of exactly its size), and the caps it
// reports always agree with themselves and with the button-caps query.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/report_descriptor.h"

namespace {

using torq::HidButtonCaps;
using torq::HidReportType;
using torq::ParsedDescriptor;

[[noreturn]] void Fail(const char* why, size_t type) {
    std::fprintf(stderr, "descriptor: %s (report type %zu)\n", why, type);
    std::abort();
}

struct TypeCounts {
    uint16_t length, buttons, values, indices;
};

TypeCounts CountsOf(const torq::HidCaps& caps, size_t type) {
    switch (type) {
        case 0:
            return {caps.InputReportByteLength, caps.NumberInputButtonCaps, caps.NumberInputValueCaps,
                    caps.NumberInputDataIndices};
        case 1:
            return {caps.OutputReportByteLength, caps.NumberOutputButtonCaps, caps.NumberOutputValueCaps,
                    caps.NumberOutputDataIndices};
        default:
            return {caps.FeatureReportByteLength, caps.NumberFeatureButtonCaps,
                    caps.NumberFeatureValueCaps, caps.NumberFeatureDataIndices};
    }
}

void CheckButtonCap(const HidButtonCaps& cap, const torq::HidCaps& caps, const TypeCounts& counts,
                    size_t type) {
    if (cap.LinkCollection >= caps.NumberLinkCollectionNodes) {
        Fail("button cap in a link collection that does not exist", type);
    }
    if (cap.ReportCount == 0) {
        Fail("button cap without fields", type);
    }
    if (cap.IsRange) {
        if (cap.Range.UsageMin > cap.Range.UsageMax || cap.Range.DataIndexMin > cap.Range.DataIndexMax) {
            Fail("range runs backwards", type);
        }
        if (cap.Range.UsageMax - cap.Range.UsageMin != cap.Range.DataIndexMax - cap.Range.DataIndexMin) {
            Fail("usage range and data-index range differ in size", type);
        }
        if (cap.Range.DataIndexMax >= counts.indices) {
            Fail("data index beyond the count", type);
        }
    } else if (cap.NotRange.DataIndex >= counts.indices) {
        Fail("data index beyond the count", type);
    }
}

// The query with every capacity from 0 to one past the count, and with filters taken
// from the caps themselves.
void CheckQuery(const ParsedDescriptor& parsed, size_t type) {
    const std::vector<HidButtonCaps>& all = parsed.buttonCaps[type];
    const auto reportType = static_cast<HidReportType>(type);
    std::vector<HidButtonCaps> out(all.size() + 1);
    for (size_t capacity = 0; capacity <= all.size() + 1 && capacity <= 8; ++capacity) {
        auto length = static_cast<uint16_t>(capacity);
        const uint32_t status = torq::GetSpecificButtonCaps(parsed, reportType, 0, 0, 0, out.data(), &length);
        const size_t expected = std::min(capacity, all.size());
        if (length != expected) {
            Fail("query wrote another number of caps than fit", type);
        }
        const uint32_t expectedStatus = all.empty()                ? torq::kHidpStatusUsageNotFound
                                        : capacity < all.size()   ? torq::kHidpStatusBufferTooSmall
                                                                   : torq::kHidpStatusSuccess;
        if (status != expectedStatus) {
            Fail("query status", type);
        }
    }
    for (size_t i = 0; i < all.size() && i < 4; ++i) {
        const HidButtonCaps& cap = all[i];
        const uint16_t usage = cap.IsRange ? cap.Range.UsageMin : cap.NotRange.Usage;
        auto length = static_cast<uint16_t>(out.size());
        torq::GetSpecificButtonCaps(parsed, reportType, cap.UsagePage, cap.LinkCollection, usage,
                                    out.data(), &length);
        if (length == 0) {
            Fail("a cap does not match a query made from itself", type);
        }
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
    if (!torq::ParseReportDescriptor(data, size, parsed)) {
        return 0;
    }
    const torq::HidCaps& caps = parsed.caps;
    if (caps.NumberLinkCollectionNodes == 0) {
        Fail("a parsed descriptor without a collection", 0);
    }
    for (size_t type = 0; type < 3; ++type) {
        const TypeCounts counts = CountsOf(caps, type);
        if (counts.buttons != parsed.buttonCaps[type].size()) {
            Fail("button cap count differs from the caps listed", type);
        }
        // A report type with caps has a report of at least the ID byte and one data byte.
        if ((counts.buttons != 0 || counts.values != 0) && counts.length < 2) {
            Fail("caps without a report length", type);
        }
        if (counts.length == 1) {
            Fail("a report of the ID byte alone", type);
        }
        if (counts.indices < counts.buttons + counts.values) {
            Fail("fewer data indices than caps", type);
        }
        for (const HidButtonCaps& cap : parsed.buttonCaps[type]) {
            CheckButtonCap(cap, caps, counts, type);
        }
        CheckQuery(parsed, type);
    }
    return 0;
}
