// Report-descriptor parser that answers HidP_GetCaps / HidP_GetSpecificButtonCaps the
// way Windows does for one top-level collection.
//
// Matched against Windows dumps of real devices (tests/data/windows_caps.json): the
// report byte lengths, the number of button and value caps per report type, every
// button cap's report ID, usage page, usage or usage range and IsRange, the top-level
// usage and the number of link collection nodes. The rules those dumps show:
//   - A report's byte length is 1 (the report-ID byte, present even without report
//     IDs) plus its data bits rounded up to bytes; each report type gives the length of
//     its longest report. Constant (padding) fields count in the length.
//   - Constant fields produce no caps. Arrays and 1-bit variable fields are buttons,
//     wider variable fields are values, whatever their logical range.
//   - A usage range produces one cap (IsRange), however many fields it covers. A list
//     of usages produces one cap per usage; the last usage covers the remaining fields.
//   - Caps appear in descriptor order of their main items; within one main item, in
//     reverse order of its usages.
// Checked against Wine's HID parser tests, which hold what Windows reports: a single
// usage is filled as a range of one (the NotRange view's Reserved1 repeats the usage,
// Reserved2 and Reserved3 the string and designator maxima, Reserved4 the data index,
// so the Range view reads the same as for a range), for button and value caps alike;
// data indices are one per usage, handed out per report type in the order the caps
// are listed, buttons and values sharing the count; a value cap's BitSize, ReportCount,
// logical extents (sign-extended from their items) and HasNull; an item of zero-bit
// fields is a value cap, an item of no fields is nothing.
// Our best reading, not checked against Windows: the string/designator fields of a
// range, the physical extents and units (as the items give them), ReportCount of a
// value range (one field per usage, the last usage taking any fields left over), and
// the link-collection numbering (depth-first order of the Collection items, the
// top-level one being 0). Delimited usage sets keep their first usage only, so IsAlias
// is always 0. A short usage takes the usage page in force when its main item is read;
// a 4-byte usage carries its own page. Items of zero bits take no room in a report.
//
// Anything else the bytes may hold is rejected rather than guessed at: a truncated
// item, unbalanced collections or Push/Pop, data items outside a collection, report ID
// 0 or above 255, a usage range running backwards, a delimiter left open at a main
// item, and limits that keep hostile input cheap (nesting, caps, usages, report
// lengths that do not fit 16 bits).
#include "platform/report_descriptor.h"

#include <algorithm>
#include <array>
#include <new>

namespace torq {
namespace {

constexpr size_t kMaxCaps = 4096;  // button and value caps of all report types
constexpr size_t kMaxLocalUsages = 4096;
constexpr size_t kMaxGlobalStack = 32;
constexpr size_t kMaxCollectionDepth = 64;
constexpr size_t kMaxLinkCollections = 4096;
constexpr uint64_t kMaxReportBytes = 0xFFFF;  // report-ID byte included
constexpr uint32_t kMaxDataIndices = 0xFFFF;
constexpr size_t kReportTypes = 3;
constexpr size_t kReportIds = 256;

enum : uint8_t { kTypeMain = 0, kTypeGlobal = 1, kTypeLocal = 2 };

enum : uint8_t {
    kTagInput = 0x8,
    kTagOutput = 0x9,
    kTagCollection = 0xA,
    kTagFeature = 0xB,
    kTagEndCollection = 0xC,
};

enum : uint8_t {
    kTagUsagePage = 0x0,
    kTagLogicalMin = 0x1,
    kTagLogicalMax = 0x2,
    kTagPhysicalMin = 0x3,
    kTagPhysicalMax = 0x4,
    kTagUnitExponent = 0x5,
    kTagUnit = 0x6,
    kTagReportSize = 0x7,
    kTagReportId = 0x8,
    kTagReportCount = 0x9,
    kTagPush = 0xA,
    kTagPop = 0xB,
};

enum : uint8_t {
    kTagUsage = 0x0,
    kTagUsageMin = 0x1,
    kTagUsageMax = 0x2,
    kTagDesignatorIndex = 0x3,
    kTagDesignatorMin = 0x4,
    kTagDesignatorMax = 0x5,
    kTagStringIndex = 0x7,
    kTagStringMin = 0x8,
    kTagStringMax = 0x9,
    kTagDelimiter = 0xA,
};

constexpr uint32_t kFlagConstant = 0x1;
constexpr uint32_t kFlagVariable = 0x2;
constexpr uint32_t kFlagRelative = 0x4;
constexpr uint32_t kFlagNullState = 0x40;

constexpr uint8_t kLongItemPrefix = 0xFE;

struct Globals {
    uint16_t usagePage = 0;
    uint32_t reportSize = 0;
    uint32_t reportCount = 0;
    uint8_t reportId = 0;
    int32_t logicalMin = 0, logicalMax = 0;
    int32_t physicalMin = 0, physicalMax = 0;
    uint32_t unitExponent = 0, unit = 0;
};

// A usage as written; the page of a short one is only known at the main item.
struct RawUsage {
    uint32_t value = 0;
    bool extended = false;  // 4-byte item: the page is in the high half
};

struct UsageEntry {
    RawUsage min, max;
    bool isRange = false;
};

struct Usage {
    uint16_t page = 0;
    uint16_t min = 0;
    uint16_t max = 0;
    bool isRange = false;
};

// An index (String or Designator) given either alone or as a Min/Max pair.
struct IndexItem {
    uint16_t index = 0, min = 0, max = 0;
    bool hasMin = false, hasMax = false;
    bool IsRange() const { return hasMin || hasMax; }
    uint16_t Min() const { return hasMin ? min : max; }
    uint16_t Max() const { return hasMax ? max : min; }
};

struct Locals {
    std::vector<UsageEntry> usages;
    RawUsage pendingMin, pendingMax;
    bool hasMin = false, hasMax = false;
    bool inDelimiter = false, delimiterTaken = false;
    IndexItem string, designator;

    void Clear() {
        usages.clear();  // keeps the capacity for the next main item
        pendingMin = pendingMax = RawUsage{};
        hasMin = hasMax = inDelimiter = delimiterTaken = false;
        string = designator = IndexItem{};
    }
};

struct LinkNode {
    uint16_t usagePage = 0;
    uint16_t usage = 0;
};

uint16_t Low16(uint32_t v) { return static_cast<uint16_t>(v & 0xFFFFu); }

// Extents are signed numbers of the item's own size.
int32_t Signed(uint32_t v, size_t dataSize) {
    switch (dataSize) {
        case 1: return static_cast<int8_t>(static_cast<uint8_t>(v));
        case 2: return static_cast<int16_t>(static_cast<uint16_t>(v));
        case 4: return static_cast<int32_t>(v);
        default: return 0;
    }
}

class Parser {
public:
    explicit Parser(ParsedDescriptor& out) : out_(out), reportBits_(kReportTypes * kReportIds, 0) {}

    bool Run(const uint8_t* data, size_t size);

private:
    enum class Phase { BeforeFirst, InFirst, AfterFirst };

    bool Main(uint8_t tag, uint32_t value);
    bool Global(uint8_t tag, uint32_t value, size_t dataSize);
    bool Local(uint8_t tag, uint32_t value, size_t dataSize);
    bool AddUsage(const UsageEntry& entry);
    bool FlushPendingRange();
    bool ResolveUsages(std::vector<Usage>& usages) const;
    bool OpenCollection();
    bool CloseCollection();
    bool DataItem(size_t type, uint32_t flags);
    bool AddCap(size_t type, uint32_t flags, const Usage& usage, uint32_t fields);
    void Finish();

    ParsedDescriptor& out_;
    Globals globals_;
    std::vector<Globals> globalStack_;
    Locals locals_;
    Phase phase_ = Phase::BeforeFirst;
    size_t depth_ = 0;
    std::vector<LinkNode> nodes_;          // link collections of the first top-level one
    std::vector<uint16_t> openNodes_;      // their indices, innermost last
    std::vector<uint64_t> reportBits_;     // [type * 256 + report ID]
    size_t capCount_ = 0;
    std::array<uint32_t, kReportTypes> dataIndices_{};
};

bool Parser::Run(const uint8_t* data, size_t size) {
    if (data == nullptr) return false;
    size_t pos = 0;
    while (pos < size) {
        const uint8_t prefix = data[pos];
        if (prefix == kLongItemPrefix) {
            // Long items carry no meaning for the caps; skip them whole.
            if (size - pos < 3) return false;
            const size_t length = 3u + static_cast<size_t>(data[pos + 1]);
            if (size - pos < length) return false;
            pos += length;
            continue;
        }
        const size_t dataSize = (prefix & 3u) == 3u ? 4u : (prefix & 3u);
        if (size - pos - 1 < dataSize) return false;
        uint32_t value = 0;
        for (size_t i = 0; i < dataSize; ++i) {
            value |= static_cast<uint32_t>(data[pos + 1 + i]) << (8u * i);
        }
        pos += 1 + dataSize;

        const auto type = static_cast<uint8_t>((prefix >> 2) & 3u);
        const auto tag = static_cast<uint8_t>(prefix >> 4);
        bool ok = true;
        switch (type) {
            case kTypeMain: ok = Main(tag, value); break;
            case kTypeGlobal: ok = Global(tag, value, dataSize); break;
            case kTypeLocal: ok = Local(tag, value, dataSize); break;
            default: break;  // reserved item type
        }
        if (!ok) return false;
    }
    if (depth_ != 0 || phase_ == Phase::BeforeFirst) return false;
    Finish();
    return true;
}

bool Parser::Main(uint8_t tag, uint32_t value) {
    if (locals_.inDelimiter) return false;
    if (!FlushPendingRange()) return false;
    bool ok = true;
    switch (tag) {
        case kTagInput: ok = DataItem(static_cast<size_t>(HidReportType::Input), value); break;
        case kTagOutput: ok = DataItem(static_cast<size_t>(HidReportType::Output), value); break;
        case kTagFeature: ok = DataItem(static_cast<size_t>(HidReportType::Feature), value); break;
        case kTagCollection: ok = OpenCollection(); break;
        case kTagEndCollection: ok = CloseCollection(); break;
        default: break;  // reserved main tags (a stray 0x00 byte lands here)
    }
    locals_.Clear();
    return ok;
}

bool Parser::Global(uint8_t tag, uint32_t value, size_t dataSize) {
    switch (tag) {
        case kTagUsagePage: globals_.usagePage = Low16(value); break;
        case kTagLogicalMin: globals_.logicalMin = Signed(value, dataSize); break;
        case kTagLogicalMax: globals_.logicalMax = Signed(value, dataSize); break;
        case kTagPhysicalMin: globals_.physicalMin = Signed(value, dataSize); break;
        case kTagPhysicalMax: globals_.physicalMax = Signed(value, dataSize); break;
        case kTagUnitExponent: globals_.unitExponent = value; break;
        case kTagUnit: globals_.unit = value; break;
        case kTagReportSize: globals_.reportSize = value; break;
        case kTagReportCount: globals_.reportCount = value; break;
        case kTagReportId:
            if (value == 0 || value >= kReportIds) return false;
            globals_.reportId = static_cast<uint8_t>(value);
            out_.usesReportIds = true;
            break;
        case kTagPush:
            if (globalStack_.size() >= kMaxGlobalStack) return false;
            globalStack_.push_back(globals_);
            break;
        case kTagPop:
            if (globalStack_.empty()) return false;
            globals_ = globalStack_.back();
            globalStack_.pop_back();
            break;
        default: break;
    }
    return true;
}

bool Parser::Local(uint8_t tag, uint32_t value, size_t dataSize) {
    const RawUsage usage{value, dataSize == 4};
    switch (tag) {
        case kTagUsage: return AddUsage(UsageEntry{usage, usage, false});
        case kTagUsageMin:
            // A second minimum before any maximum: keep the first as a lone usage.
            if (locals_.hasMin && !FlushPendingRange()) return false;
            locals_.pendingMin = usage;
            locals_.hasMin = true;
            break;
        case kTagUsageMax:
            if (locals_.hasMax && !FlushPendingRange()) return false;
            locals_.pendingMax = usage;
            locals_.hasMax = true;
            break;
        case kTagStringIndex: locals_.string.index = Low16(value); break;
        case kTagStringMin: locals_.string.min = Low16(value); locals_.string.hasMin = true; break;
        case kTagStringMax: locals_.string.max = Low16(value); locals_.string.hasMax = true; break;
        case kTagDesignatorIndex: locals_.designator.index = Low16(value); break;
        case kTagDesignatorMin:
            locals_.designator.min = Low16(value);
            locals_.designator.hasMin = true;
            break;
        case kTagDesignatorMax:
            locals_.designator.max = Low16(value);
            locals_.designator.hasMax = true;
            break;
        case kTagDelimiter:
            if (value == 1) {
                if (locals_.inDelimiter) return false;
                locals_.inDelimiter = true;
                locals_.delimiterTaken = false;
            } else if (value == 0) {
                if (!locals_.inDelimiter || !FlushPendingRange()) return false;
                locals_.inDelimiter = false;
            } else {
                return false;
            }
            break;
        default: break;
    }
    if (locals_.hasMin && locals_.hasMax) {
        const UsageEntry range{locals_.pendingMin, locals_.pendingMax, true};
        locals_.hasMin = locals_.hasMax = false;
        return AddUsage(range);
    }
    return true;
}

bool Parser::AddUsage(const UsageEntry& entry) {
    // Inside a delimited set the first usage is the preferred one; the aliases that
    // follow it are dropped.
    if (locals_.inDelimiter && locals_.delimiterTaken) return true;
    if (locals_.usages.size() >= kMaxLocalUsages) return false;
    locals_.usages.push_back(entry);
    if (locals_.inDelimiter) locals_.delimiterTaken = true;
    return true;
}

// A Usage Minimum or Maximum without its partner stands for that one usage.
bool Parser::FlushPendingRange() {
    bool ok = true;
    if (locals_.hasMin) ok = AddUsage(UsageEntry{locals_.pendingMin, locals_.pendingMin, false});
    if (ok && locals_.hasMax) ok = AddUsage(UsageEntry{locals_.pendingMax, locals_.pendingMax, false});
    locals_.hasMin = locals_.hasMax = false;
    return ok;
}

bool Parser::ResolveUsages(std::vector<Usage>& usages) const {
    usages.clear();
    usages.reserve(locals_.usages.size());
    for (const UsageEntry& e : locals_.usages) {
        Usage u;
        if (e.min.extended && e.max.extended && (e.min.value >> 16) != (e.max.value >> 16)) {
            return false;  // a range cannot span usage pages
        }
        if (e.min.extended) {
            u.page = static_cast<uint16_t>(e.min.value >> 16);
        } else if (e.max.extended) {
            u.page = static_cast<uint16_t>(e.max.value >> 16);
        } else {
            u.page = globals_.usagePage;
        }
        u.min = Low16(e.min.value);
        u.max = Low16(e.max.value);
        u.isRange = e.isRange;
        if (u.min > u.max) return false;
        usages.push_back(u);
    }
    return true;
}

bool Parser::OpenCollection() {
    if (depth_ >= kMaxCollectionDepth) return false;
    if (phase_ == Phase::InFirst || (phase_ == Phase::BeforeFirst && depth_ == 0)) {
        if (nodes_.size() >= kMaxLinkCollections) return false;
        std::vector<Usage> usages;
        if (!ResolveUsages(usages)) return false;
        LinkNode node{globals_.usagePage, 0};
        if (!usages.empty()) node = LinkNode{usages.front().page, usages.front().min};
        openNodes_.push_back(static_cast<uint16_t>(nodes_.size()));
        nodes_.push_back(node);
        phase_ = Phase::InFirst;
    }
    ++depth_;
    return true;
}

bool Parser::CloseCollection() {
    if (depth_ == 0) return false;
    --depth_;
    if (phase_ == Phase::InFirst) {
        openNodes_.pop_back();
        if (depth_ == 0) phase_ = Phase::AfterFirst;
    }
    return true;
}

bool Parser::DataItem(size_t type, uint32_t flags) {
    if (depth_ == 0) return false;                 // belongs to no collection
    if (phase_ != Phase::InFirst) return true;     // another top-level collection
    const uint64_t bits = uint64_t{globals_.reportSize} * globals_.reportCount;
    uint64_t& total = reportBits_[type * kReportIds + globals_.reportId];
    total += bits;  // cannot wrap: total stays below 2^20 and bits below 2^64 - 2^33
    if ((total + 7) / 8 + 1 > kMaxReportBytes) return false;
    if ((flags & kFlagConstant) != 0 || globals_.reportCount == 0) return true;

    std::vector<Usage> usages;
    if (!ResolveUsages(usages)) return false;
    if (usages.empty()) usages.push_back(Usage{globals_.usagePage, 0, 0, false});

    // Fields each usage covers: an array's usages share all its fields; in a variable
    // item each usage takes its own, the last one the rest, and usages beyond the
    // report count describe nothing.
    std::vector<uint32_t> fields(usages.size(), globals_.reportCount);
    if ((flags & kFlagVariable) != 0) {
        uint32_t left = globals_.reportCount;
        size_t used = 0;
        while (used < usages.size() && left > 0) {
            const Usage& u = usages[used];
            const uint32_t span = u.isRange ? uint32_t{u.max} - u.min + 1u : 1u;
            fields[used] = std::min(span, left);
            left -= fields[used];
            ++used;
        }
        fields[used - 1] += left;
        usages.resize(used);
    }
    for (size_t i = usages.size(); i-- > 0;) {
        if (!AddCap(type, flags, usages[i], fields[i])) return false;
    }
    return true;
}

// What button and value caps have in common, and the usage fields, which a single
// usage fills as a range of one: the NotRange view then holds each value twice.
template <typename Cap>
void FillCommon(Cap& cap, uint32_t flags, const Usage& usage, uint8_t reportId, uint16_t link,
                const LinkNode& node, const Locals& locals, uint16_t firstIndex, uint16_t lastIndex) {
    const IndexItem& s = locals.string;
    const IndexItem& d = locals.designator;
    cap.UsagePage = usage.page;
    cap.ReportID = reportId;
    cap.BitField = Low16(flags);
    cap.LinkCollection = link;
    cap.LinkUsage = node.usage;
    cap.LinkUsagePage = node.usagePage;
    cap.IsRange = usage.isRange ? 1 : 0;
    cap.IsStringRange = s.IsRange() ? 1 : 0;
    cap.IsDesignatorRange = d.IsRange() ? 1 : 0;
    cap.IsAbsolute = (flags & kFlagRelative) == 0 ? 1 : 0;
    cap.Range.UsageMin = usage.min;
    cap.Range.UsageMax = usage.isRange ? usage.max : usage.min;
    cap.Range.StringMin = s.IsRange() ? s.Min() : s.index;
    cap.Range.StringMax = s.IsRange() ? s.Max() : s.index;
    cap.Range.DesignatorMin = d.IsRange() ? d.Min() : d.index;
    cap.Range.DesignatorMax = d.IsRange() ? d.Max() : d.index;
    cap.Range.DataIndexMin = firstIndex;
    cap.Range.DataIndexMax = lastIndex;
}

bool Parser::AddCap(size_t type, uint32_t flags, const Usage& usage, uint32_t fields) {
    if (capCount_ >= kMaxCaps) return false;
    ++capCount_;
    const uint32_t span = usage.isRange ? uint32_t{usage.max} - usage.min + 1u : 1u;
    const uint32_t firstIndex = dataIndices_[type];
    if (span > kMaxDataIndices - firstIndex) return false;
    dataIndices_[type] = firstIndex + span;

    const uint16_t link = openNodes_.back();
    const auto first = static_cast<uint16_t>(firstIndex);
    const auto last = static_cast<uint16_t>(firstIndex + span - 1);
    const auto count = [](uint32_t n) { return static_cast<uint16_t>(std::min<uint32_t>(n, 0xFFFF)); };
    if ((flags & kFlagVariable) == 0 || globals_.reportSize == 1) {
        HidButtonCaps cap{};
        FillCommon(cap, flags, usage, globals_.reportId, link, nodes_[link], locals_, first, last);
        cap.ReportCount = count(fields);
        out_.buttonCaps[type].push_back(cap);
        return true;
    }
    HidValueCaps cap{};
    FillCommon(cap, flags, usage, globals_.reportId, link, nodes_[link], locals_, first, last);
    cap.HasNull = (flags & kFlagNullState) != 0 ? 1 : 0;
    cap.BitSize = count(globals_.reportSize);
    // A range gives each usage one field; fields beyond the range belong to its last.
    cap.ReportCount = count(usage.isRange && fields >= span ? fields - span + 1u : fields);
    cap.UnitsExp = globals_.unitExponent;
    cap.Units = globals_.unit;
    cap.LogicalMin = globals_.logicalMin;
    cap.LogicalMax = globals_.logicalMax;
    cap.PhysicalMin = globals_.physicalMin;
    cap.PhysicalMax = globals_.physicalMax;
    out_.valueCaps[type].push_back(cap);
    return true;
}

void Parser::Finish() {
    HidCaps& caps = out_.caps;
    caps.UsagePage = nodes_.front().usagePage;
    caps.Usage = nodes_.front().usage;
    caps.NumberLinkCollectionNodes = static_cast<uint16_t>(nodes_.size());
    std::array<uint16_t, kReportTypes> lengths{};
    for (size_t t = 0; t < kReportTypes; ++t) {
        for (size_t id = 0; id < kReportIds; ++id) {
            const uint64_t bits = reportBits_[t * kReportIds + id];
            if (bits == 0) continue;
            const auto bytes = static_cast<uint16_t>((bits + 7) / 8 + 1);
            lengths[t] = std::max(lengths[t], bytes);
        }
    }
    const auto count = [](size_t n) { return static_cast<uint16_t>(n); };
    caps.InputReportByteLength = lengths[0];
    caps.OutputReportByteLength = lengths[1];
    caps.FeatureReportByteLength = lengths[2];
    caps.NumberInputButtonCaps = count(out_.buttonCaps[0].size());
    caps.NumberInputValueCaps = count(out_.valueCaps[0].size());
    caps.NumberInputDataIndices = count(dataIndices_[0]);
    caps.NumberOutputButtonCaps = count(out_.buttonCaps[1].size());
    caps.NumberOutputValueCaps = count(out_.valueCaps[1].size());
    caps.NumberOutputDataIndices = count(dataIndices_[1]);
    caps.NumberFeatureButtonCaps = count(out_.buttonCaps[2].size());
    caps.NumberFeatureValueCaps = count(out_.valueCaps[2].size());
    caps.NumberFeatureDataIndices = count(dataIndices_[2]);
}

// A single usage reads as a range of one, so the Range view answers for every cap.
template <typename Cap>
bool Matches(const Cap& cap, uint16_t usagePage, uint16_t linkCollection, uint16_t usage) {
    if (usagePage != 0 && cap.UsagePage != usagePage) return false;
    if (linkCollection != 0 && cap.LinkCollection != linkCollection) return false;
    return usage == 0 || (cap.Range.UsageMin <= usage && usage <= cap.Range.UsageMax);
}

// HidP_GetSpecific{Button,Value}Caps over the caps of one report type, of which the
// top-level record counts `counted`.
template <typename Cap>
uint32_t GetSpecific(const std::vector<Cap>& all, uint16_t counted, uint16_t usagePage,
                     uint16_t linkCollection, uint16_t usage, Cap* caps, uint16_t* length) {
    if (length == nullptr) return kHidpStatusBufferTooSmall;  // no room to say anything
    if (counted != all.size()) {
        *length = 0;
        return kHidpStatusInvalidPreparsedData;
    }
    const size_t capacity = caps == nullptr ? 0 : *length;
    size_t written = 0;
    bool truncated = false;
    for (const Cap& cap : all) {
        if (!Matches(cap, usagePage, linkCollection, usage)) continue;
        if (written == capacity) {
            truncated = true;
            break;
        }
        caps[written++] = cap;
    }
    // On a short buffer hidpi.h has the given entries filled in; *length keeps the
    // number written, as our callers expect, rather than the number needed.
    *length = static_cast<uint16_t>(written);
    if (truncated) return kHidpStatusBufferTooSmall;
    return written == 0 ? kHidpStatusUsageNotFound : kHidpStatusSuccess;
}

}  // namespace

bool ParseReportDescriptor(const uint8_t* data, size_t size, ParsedDescriptor& out) {
    out = ParsedDescriptor{};
    try {
        Parser parser(out);
        if (parser.Run(data, size)) return true;
    } catch (const std::bad_alloc&) {
        // Every container is bounded; only a starved process ends up here.
    }
    out = ParsedDescriptor{};
    return false;
}

uint32_t GetSpecificButtonCaps(const ParsedDescriptor& parsed, HidReportType type,
                               uint16_t usagePage, uint16_t linkCollection, uint16_t usage,
                               HidButtonCaps* caps, uint16_t* length) {
    const auto t = static_cast<size_t>(type);
    if (t >= kReportTypes) return kHidpStatusInvalidReportType;
    const uint16_t counted = t == 0   ? parsed.caps.NumberInputButtonCaps
                             : t == 1 ? parsed.caps.NumberOutputButtonCaps
                                      : parsed.caps.NumberFeatureButtonCaps;
    return GetSpecific(parsed.buttonCaps[t], counted, usagePage, linkCollection, usage, caps, length);
}

uint32_t GetSpecificValueCaps(const ParsedDescriptor& parsed, HidReportType type,
                              uint16_t usagePage, uint16_t linkCollection, uint16_t usage,
                              HidValueCaps* caps, uint16_t* length) {
    const auto t = static_cast<size_t>(type);
    if (t >= kReportTypes) return kHidpStatusInvalidReportType;
    const uint16_t counted = t == 0   ? parsed.caps.NumberInputValueCaps
                             : t == 1 ? parsed.caps.NumberOutputValueCaps
                                      : parsed.caps.NumberFeatureValueCaps;
    return GetSpecific(parsed.valueCaps[t], counted, usagePage, linkCollection, usage, caps, length);
}

uint32_t DescriptorPreparsedData::GetCaps(HidCaps* caps) const {
    if (caps == nullptr) {
        return kHidpStatusInvalidPreparsedData;
    }
    *caps = parsed_->caps;
    return kHidpStatusSuccess;
}

uint32_t DescriptorPreparsedData::GetInputButtonCaps(HidButtonCaps* caps, uint16_t* length) const {
    if (length == nullptr) {
        return kHidpStatusInvalidPreparsedData;
    }
    return GetSpecificButtonCaps(*parsed_, HidReportType::Input, 0, 0, 0, caps, length);
}

}  // namespace torq
