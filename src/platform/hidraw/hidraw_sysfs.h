// What the hidraw backend reads from sysfs: the hidraw nodes, and for one node its HID
// device's IDs, unique string, report descriptor and the version of the USB device above.
//
// Everything goes through plain open/read/opendir/realpath on /sys and /dev, never
// through ioctls: the query handle is an O_PATH descriptor, which cannot take ioctls,
// and sysfs answers without any access rights on the node.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace torq::hidraw {

inline constexpr uint16_t kBusUsb = 0x03;

struct NodeEntry {
    unsigned long number = 0;  // N of hidrawN
    std::string devicePath;    // /dev/hidrawN
};

// The hidraw class devices present now, by device number. Empty when there are none
// (or when hidraw is not in the kernel at all).
std::vector<NodeEntry> ListNodes();

// The sysfs directory of the HID device behind a device node path (found through the
// node's device number), or empty when the path is not a hidraw node.
std::string HidDeviceDirOf(const std::string& nodePath);

// A whole sysfs attribute; nullopt with errno set when it cannot be read. Longer
// contents than `limit` bytes are a failure (EFBIG): no attribute we read is that long.
std::optional<std::vector<uint8_t>> ReadAttribute(const std::string& path, size_t limit);

// The value of KEY=value in the text of a uevent attribute.
std::optional<std::string_view> UeventValue(std::string_view uevent, std::string_view key);

struct HidId {
    uint16_t bus = 0;
    uint16_t vendor = 0;
    uint16_t product = 0;
};
// HID_ID=BBBB:VVVVVVVV:PPPPPPPP (hex, as the kernel writes it).
std::optional<HidId> ParseHidId(std::string_view value);

// bcdDevice of the nearest USB device above the HID device, 0 when there is none.
uint16_t UsbVersionAbove(const std::string& hidDir);

}  // namespace torq::hidraw
