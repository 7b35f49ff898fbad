// Discovery on the system's own HID interfaces. Under Wine these are its built-in
// virtual mouse and keyboard (vendor 0x845E): every SetupAPI and hid.dll call runs for
// real on them, so the pass must examine them all, accept neither, and leave nothing
// open; aimed at one of them, it must open, identify and probe it like a board.
#include <windows.h>
#include <winternl.h>
extern "C" {
#include <hidsdi.h>
}

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>

#include "device/hid_device.h"
#include "fixtures.h"
#include "harness.h"

using namespace torq;
using torqtest::RecordingLayer;

namespace {

uint32_t KeyBlockWord(const CHidDevice& device, size_t offset) {
    uint32_t value = 0;
    std::memcpy(&value, device.moduleKeyBlock + offset, sizeof value);
    return value;
}

std::wstring KeyBlockSerial(const CHidDevice& device) {
    const auto* text = reinterpret_cast<const wchar_t*>(device.moduleKeyBlock + kKeyBlockSerialOffset);
    return std::wstring(text, wcsnlen(text, kKeyBlockSerialUnits));
}

// Makes the real backend, behind a recorder, the process's layer for one test.
struct RealLayer {
    RealLayer() : layer(std::make_shared<RecordingLayer>(CreateOsHidLayer())) { SetActiveHidLayer(layer); }
    ~RealLayer() { SetActiveHidLayer(nullptr); }
    RealLayer(const RealLayer&) = delete;
    RealLayer& operator=(const RealLayer&) = delete;
    std::shared_ptr<RecordingLayer> layer;
};

bool HandleIsClosed(HidHandle handle) {
    DWORD flags = 0;
    return GetHandleInformation(reinterpret_cast<HANDLE>(handle), &flags) == FALSE;
}

// What the system granted a handle, and whether it does synchronous I/O (not opened
// with FILE_FLAG_OVERLAPPED).
struct HandleMode {
    ACCESS_MASK access = 0;
    bool synchronous = false;
};

HandleMode ModeOf(HidHandle handle) {
    const auto file = reinterpret_cast<HANDLE>(handle);
    OBJECT_BASIC_INFORMATION basic{};
    ULONG length = 0;
    REQUIRE(NtQueryObject(file, ObjectBasicInformation, &basic, sizeof basic, &length) == 0);
    constexpr auto kFileModeInformation = static_cast<FILE_INFORMATION_CLASS>(16);
    constexpr ULONG kSynchronousIo = 0x30;  // FILE_SYNCHRONOUS_IO_ALERT | _NONALERT
    IO_STATUS_BLOCK status{};
    ULONG mode = 0;
    REQUIRE(NtQueryInformationFile(file, &status, &mode, sizeof mode, kFileModeInformation) == 0);
    return {basic.GrantedAccess, (mode & kSynchronousIo) != 0};
}

// The first interface the system enumerates, as the board's stand-in.
HidAttributes FirstSystemDevice() {
    RealLayer real;
    CHidDevice device;
    device.targetVendorId = kBoardVendorId;
    device.targetProductId = kBoardProductId;
    device.DiscoverAndOpen();
    const auto examined = real.layer->Examined();
    REQUIRE(!examined.empty());
    return examined.front();
}

}  // namespace

TORQ_TEST(discovery_examines_every_system_interface_and_accepts_none) {
    RealLayer real;
    CHidDevice device;
    device.targetVendorId = kBoardVendorId;
    device.targetProductId = kBoardProductId;

    CHECK_EQ(device.DiscoverAndOpen(), 0);

    const auto examined = real.layer->Examined();
    REQUIRE(examined.size() >= 2);  // Wine's mouse and keyboard at least
    for (const HidAttributes& attributes : examined) {
        CHECK(attributes.VendorID != kBoardVendorId || attributes.ProductID != kBoardProductId);
    }
    // One enumeration call per interface, plus the one that found the end.
    CHECK_EQ(KeyBlockWord(device, kKeyBlockEnumCallsOffset), examined.size() + 1);
    CHECK_EQ(KeyBlockWord(device, kKeyBlockOpenedOffset), 0u);
    CHECK_EQ(KeyBlockSerial(device), std::wstring());
    // Only query handles were opened, one per interface, and each is closed again.
    CHECK_EQ(real.layer->AllHandles().size(), examined.size());
    CHECK(real.layer->OpenHandles().empty());
    for (HidHandle handle : real.layer->AllHandles()) {
        CHECK(HandleIsClosed(handle));
    }
    CHECK(!device.connected);
    CHECK_EQ(device.openState, kOpenNone);
    CHECK(device.queryHandle == kNullHandle && device.writeHandle == kNullHandle && device.readHandle == kNullHandle);
    CHECK_EQ(real.layer->Writes(), 0);
}

TORQ_TEST(discovery_opens_identifies_and_probes_a_real_hid_device) {
    const HidAttributes target = FirstSystemDevice();
    RealLayer real;
    CHidDevice device;
    device.targetVendorId = target.VendorID;
    device.targetProductId = target.ProductID;

    REQUIRE_EQ(device.DiscoverAndOpen(), static_cast<int32_t>(kOpenReady));
    CHECK(device.connected);
    CHECK_EQ(KeyBlockWord(device, kKeyBlockEnumCallsOffset), 1u);
    CHECK_EQ(KeyBlockWord(device, kKeyBlockOpenedOffset), 1u);

    // Three distinct handles, all open.
    const auto open = real.layer->OpenHandles();
    CHECK_EQ(open.size(), 3u);
    CHECK(open.count(device.queryHandle) && open.count(device.writeHandle) && open.count(device.readHandle));
    CHECK(device.devicePath.rfind(L"\\\\?\\hid#", 0) == 0);

    // The handle table: no data access for the query handle, writing only for the write
    // handle, reading only for the read handle; both overlapped, so that a write to a
    // stalled board can be given up.
    const HandleMode query = ModeOf(device.queryHandle);
    const HandleMode write = ModeOf(device.writeHandle);
    const HandleMode read = ModeOf(device.readHandle);
    CHECK_EQ(query.access & (FILE_READ_DATA | FILE_WRITE_DATA), 0u);
    CHECK_EQ(write.access & (FILE_READ_DATA | FILE_WRITE_DATA), static_cast<ACCESS_MASK>(FILE_WRITE_DATA));
    CHECK_EQ(read.access & (FILE_READ_DATA | FILE_WRITE_DATA), static_cast<ACCESS_MASK>(FILE_READ_DATA));
    CHECK(!write.synchronous && !read.synchronous);

    // The driver took the two input buffers, and the identity and caps came from it.
    const auto bufferCalls = real.layer->InputBufferCalls();
    REQUIRE_EQ(bufferCalls.size(), 1u);
    CHECK_EQ(bufferCalls[0].first, 2u);
    CHECK(bufferCalls[0].second);
    wchar_t serial[kSerialChars] = {};
    CHECK(HidD_GetSerialNumberString(reinterpret_cast<HANDLE>(device.readHandle), serial, sizeof serial));
    CHECK_EQ(std::wstring(device.serialNumber), std::wstring(serial));
    CHECK_EQ(KeyBlockSerial(device), std::wstring(serial));
    CHECK(device.hidCaps.InputReportByteLength > 0);
    CHECK(device.hidCaps.NumberInputButtonCaps > 0);
    REQUIRE(!device.inputButtonCaps.empty());
    CHECK_EQ(device.inputButtonCount, uint32_t{device.inputButtonCaps[0].Range.UsageMax} -
                                          device.inputButtonCaps[0].Range.UsageMin + 1u);

    device.CloseDevice();
    CHECK(real.layer->OpenHandles().empty());
    CHECK(!device.connected);
}

TORQ_TEST(a_silent_device_times_out_and_closing_ends_the_read_left_outstanding) {
    const HidAttributes target = FirstSystemDevice();
    RealLayer real;
    {
        CHidDevice device;
        device.targetVendorId = target.VendorID;
        device.targetProductId = target.ProductID;
        REQUIRE_EQ(device.DiscoverAndOpen(), static_cast<int32_t>(kOpenReady));

        // Nobody moves Wine's mouse: the whole 2000 ms pass with nothing.
        uint8_t buffer[kInputReportCapacity] = {};
        uint32_t bytesRead = 0;
        CHECK_EQ(device.ReadInputReport(buffer, device.hidCaps.InputReportByteLength, &bytesRead), 0);
        CHECK_EQ(bytesRead, 0u);
        CHECK(device.connected);
        // The read is still outstanding when the record goes: closing must end it
        // before the handle and the read state are released.
    }
    CHECK(real.layer->OpenHandles().empty());
    for (HidHandle handle : real.layer->AllHandles()) {
        CHECK(HandleIsClosed(handle));
    }
}

TORQ_TEST(a_wake_ends_a_waiting_read_at_once_and_holds_until_rearmed) {
    const HidAttributes target = FirstSystemDevice();
    RealLayer real;
    CHidDevice device;
    device.targetVendorId = target.VendorID;
    device.targetProductId = target.ProductID;
    REQUIRE_EQ(device.DiscoverAndOpen(), static_cast<int32_t>(kOpenReady));

    std::atomic<int> result{99};
    std::thread reader([&] {
        uint32_t count = 0;
        uint8_t own[kInputReportCapacity] = {};
        result = device.ReadInputReport(own, device.hidCaps.InputReportByteLength, &count);
    });
    // Gives the read time to start waiting, so that the wake has a read to cancel (a
    // wake that came first would end it as quickly, through the latch).
    Sleep(50);
    device.WakeReads();
    // Well inside the 2000 ms the read would otherwise wait.
    CHECK(torqtest::WaitUntil([&] { return result.load() != 99; }, 1000));
    reader.join();
    CHECK_EQ(result.load(), 0);
    CHECK(device.connected);

    // Latched: the next read returns at once too, until re-armed.
    uint8_t buffer[kInputReportCapacity] = {};
    uint32_t bytesRead = 0;
    const ULONGLONG start = GetTickCount64();
    CHECK_EQ(device.ReadInputReport(buffer, device.hidCaps.InputReportByteLength, &bytesRead), 0);
    CHECK(GetTickCount64() - start < 1000);

    device.CloseDevice();
    CHECK(real.layer->OpenHandles().empty());
}

TORQ_TEST(a_write_the_device_refuses_disconnects_the_channel) {
    // Wine's mouse has no output report: WriteFile fails, and the channel stops there.
    const HidAttributes target = FirstSystemDevice();
    RealLayer real;
    CHidDevice device;
    device.targetVendorId = target.VendorID;
    device.targetProductId = target.ProductID;
    REQUIRE_EQ(device.DiscoverAndOpen(), static_cast<int32_t>(kOpenReady));

    uint8_t report[54] = {0x00, 0x06};
    uint32_t written = 0;
    CHECK_EQ(device.WriteOutputReport(report, sizeof report, &written), 0);
    CHECK(!device.connected);
    CHECK_EQ(real.layer->Writes(), 1);
    CHECK_EQ(device.WriteOutputReport(report, sizeof report, &written), 0);
    CHECK_EQ(real.layer->Writes(), 1);  // not even tried again
}

TORQ_TEST(a_serial_filter_that_matches_nothing_leaves_nothing_open) {
    const HidAttributes target = FirstSystemDevice();
    RealLayer real;
    CHidDevice device;
    device.targetVendorId = target.VendorID;
    device.targetProductId = target.ProductID;
    device.serialFilter = L"no such serial";

    CHECK_EQ(device.DiscoverAndOpen(), 0);
    CHECK(real.layer->AllHandles().size() >= 3);  // it was opened, then refused
    CHECK(real.layer->OpenHandles().empty());
    CHECK_EQ(KeyBlockWord(device, kKeyBlockOpenedOffset), 0u);
    CHECK_EQ(std::wstring(device.serialNumber), std::wstring());
    CHECK(!device.connected);
}
