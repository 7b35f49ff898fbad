#include "platform/hidraw/hidraw_sysfs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "platform/hidraw/hidraw_handles.h"

namespace torq::hidraw {

namespace {

constexpr char kClassDir[] = "/sys/class/hidraw";
constexpr char kDevicesDir[] = "/sys/devices";
constexpr size_t kUeventLimit = 64 * 1024;
constexpr size_t kMaxNumberDigits = 9;  // keeps every node number inside unsigned long
constexpr int kMaxAncestors = 64;       // sysfs trees are far shallower

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};

// "hidrawN" with N decimal; the number, or nullopt for any other name.
std::optional<unsigned long> NodeNumber(std::string_view name) {
    constexpr std::string_view prefix = "hidraw";
    if (name.substr(0, prefix.size()) != prefix) {
        return std::nullopt;
    }
    const std::string_view digits = name.substr(prefix.size());
    if (digits.empty() || digits.size() > kMaxNumberDigits ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    unsigned long number = 0;
    for (char c : digits) {
        number = number * 10 + static_cast<unsigned long>(c - '0');
    }
    return number;
}

std::optional<unsigned long> ParseHex(std::string_view text, unsigned long max) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
        text.remove_suffix(1);
    }
    if (text.empty() || text.size() > 8) {
        return std::nullopt;
    }
    unsigned long value = 0;
    for (char c : text) {
        unsigned digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<unsigned>(c - 'A' + 10);
        } else {
            return std::nullopt;
        }
        value = value * 16 + digit;
    }
    if (value > max) {
        return std::nullopt;
    }
    return value;
}

std::string AsText(const std::vector<uint8_t>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

std::string ParentDir(const std::string& dir) {
    const size_t slash = dir.find_last_of('/');
    return slash == std::string::npos || slash == 0 ? std::string() : dir.substr(0, slash);
}

}  // namespace

std::vector<NodeEntry> ListNodes() {
    std::vector<NodeEntry> nodes;
    const std::unique_ptr<DIR, DirCloser> dir(opendir(kClassDir));
    if (!dir) {
        return nodes;  // no hidraw devices, or no hidraw in this kernel
    }
    while (const dirent* entry = readdir(dir.get())) {
        const std::optional<unsigned long> number = NodeNumber(entry->d_name);
        if (!number) {
            continue;
        }
        NodeEntry node;
        node.number = *number;
        node.devicePath = std::string("/dev/") + entry->d_name;
        // The kernel names the node; udev may place it elsewhere only by DEVNAME.
        const auto uevent =
            ReadAttribute(std::string(kClassDir) + "/" + entry->d_name + "/uevent", kUeventLimit);
        if (uevent) {
            const std::string text = AsText(*uevent);
            const auto devname = UeventValue(text, "DEVNAME");
            if (devname && !devname->empty()) {
                node.devicePath = "/dev/" + std::string(*devname);
            }
        }
        nodes.push_back(std::move(node));
    }
    std::sort(nodes.begin(), nodes.end(),
              [](const NodeEntry& a, const NodeEntry& b) { return a.number < b.number; });
    return nodes;
}

std::string HidDeviceDirOf(const std::string& nodePath) {
    struct stat st {};
    if (stat(nodePath.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) {
        return {};
    }
    char link[64];
    std::snprintf(link, sizeof link, "/sys/dev/char/%u:%u/device", major(st.st_rdev),
                  minor(st.st_rdev));
    const std::unique_ptr<char, decltype(&std::free)> resolved(realpath(link, nullptr), &std::free);
    return resolved ? std::string(resolved.get()) : std::string();
}

std::optional<std::vector<uint8_t>> ReadAttribute(const std::string& path, size_t limit) {
    const UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.Valid()) {
        return std::nullopt;
    }
    std::vector<uint8_t> contents;
    uint8_t chunk[4096];
    for (;;) {
        const ssize_t n = read(fd.Get(), chunk, sizeof chunk);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return std::nullopt;
        }
        if (n == 0) {
            return contents;
        }
        if (contents.size() + static_cast<size_t>(n) > limit) {
            errno = EFBIG;
            return std::nullopt;
        }
        contents.insert(contents.end(), chunk, chunk + n);
    }
}

std::optional<std::string_view> UeventValue(std::string_view uevent, std::string_view key) {
    while (!uevent.empty()) {
        const size_t end = uevent.find('\n');
        const std::string_view line = uevent.substr(0, end);
        if (line.size() > key.size() && line.substr(0, key.size()) == key && line[key.size()] == '=') {
            return line.substr(key.size() + 1);
        }
        if (end == std::string_view::npos) {
            break;
        }
        uevent.remove_prefix(end + 1);
    }
    return std::nullopt;
}

std::optional<HidId> ParseHidId(std::string_view value) {
    const size_t first = value.find(':');
    const size_t second = first == std::string_view::npos ? first : value.find(':', first + 1);
    if (second == std::string_view::npos) {
        return std::nullopt;
    }
    // A vendor or product beyond 16 bits is no USB ID: refuse it rather than cut it to
    // one that might match.
    const auto bus = ParseHex(value.substr(0, first), 0xFFFF);
    const auto vendor = ParseHex(value.substr(first + 1, second - first - 1), 0xFFFF);
    const auto product = ParseHex(value.substr(second + 1), 0xFFFF);
    if (!bus || !vendor || !product) {
        return std::nullopt;
    }
    return HidId{static_cast<uint16_t>(*bus), static_cast<uint16_t>(*vendor),
                 static_cast<uint16_t>(*product)};
}

uint16_t UsbVersionAbove(const std::string& hidDir) {
    const std::string top = kDevicesDir;
    std::string dir = ParentDir(hidDir);
    for (int depth = 0; depth < kMaxAncestors && dir.size() > top.size() &&
                        dir.compare(0, top.size() + 1, top + "/") == 0;
         ++depth, dir = ParentDir(dir)) {
        const auto bcd = ReadAttribute(dir + "/bcdDevice", 64);
        if (!bcd) {
            continue;
        }
        const auto version = ParseHex(AsText(*bcd), 0xFFFF);
        return version ? static_cast<uint16_t>(*version) : uint16_t{0};
    }
    return 0;
}

}  // namespace torq::hidraw
