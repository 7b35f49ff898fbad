// The device code on the real win32 backend under Wine in the kernel guest, for
// tests/kernel/test_win32.py: a command a line in, a JSON answer a line out ("torq {...}"),
// in one Wine process for every case, since each costs tens of seconds under emulation.
//
//   list                 the HID interfaces SetupAPI lists: ids, serial, path
//   init [SERIAL]        a new engine (serial filter SERIAL; the one before torn down), its init
//   show HEX | bright N  the display report HEX (54 bytes) through SendReport; a brightness
//   read                 one channel read (up to its 2 s wait)
//   listen | stop | event | info   the listener; the latest input event; connected (any other word too)
//   close                the engine's teardown; how many files (device handles) it left open
//   pyd-caps PATH        the capabilities of PATH through the module file's own export
#include <windows.h>
#include <winternl.h>
extern "C" {
#include <hidsdi.h>
}

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "loaded_module.h"
#include "module/engine.h"

using namespace torq;

// JSON: numbers, wide text, lists, and text that is JSON already.
static std::string Json(long long value) {
    return std::to_string(value);
}
// Anything but printable ASCII, and the quote and the backslash, as \uXXXX.
static std::string Json(const std::wstring& text) {
    std::string out = "\"";
    for (const wchar_t c : text) {
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c) & 0xFFFFu);
        out += c >= 0x20 && c < 0x7F && c != L'"' && c != L'\\' ? std::string{static_cast<char>(c)} : escaped;
    }
    return out + "\"";
}
static std::string Json(const std::string& json) {
    return json;
}
template <class T>
static std::string Json(const std::vector<T>& items) {
    std::string out = "[";
    for (const T& item : items) {
        (out += out.size() > 1 ? "," : "") += Json(item);
    }
    return out += "]";
}

// One JSON object, built a field at a time.
struct Answer {
    template <class T>
    Answer& operator()(const char* key, const T& value) {
        // Appended a piece at a time: GCC 12 warns falsely (-Wrestrict) on "..." + string.
        (((body += body.empty() ? "{\"" : ",\"") += key) += "\":") += Json(value);
        return *this;
    }
    operator std::string() const { return body + "}"; }
    std::string body;
};

static Answer Caps(const HidCaps& caps, const HidButtonCaps* buttons, size_t count) {
    std::vector<std::vector<long long>> ranges;
    for (size_t i = 0; i < count; ++i) {
        ranges.push_back({buttons[i].UsagePage, buttons[i].Range.UsageMin, buttons[i].Range.UsageMax});
    }
    return Answer()("input", caps.InputReportByteLength)("output", caps.OutputReportByteLength)(
        "values", caps.NumberInputValueCaps)("button_caps", ranges);
}

// The process's files (the device handles among them) in the system's handle table: Wine's
// GetProcessHandleCount is a stub, and its own workers come and go with events and threads.
static long long OpenFiles() {
    constexpr ULONG kBytes = 1 << 21;  // room for some 87,000 handles
    const auto table = std::make_unique<std::byte[]>(kBytes);
    const auto* info = reinterpret_cast<const SYSTEM_HANDLE_INFORMATION*>(table.get());
    if (NtQuerySystemInformation(SystemHandleInformation, table.get(), kBytes, nullptr) != 0) {
        throw std::runtime_error("no system handle table");
    }
    return std::count_if(info->Handle, info->Handle + info->Count, [](const SYSTEM_HANDLE_ENTRY& entry) {
        alignas(OBJECT_TYPE_INFORMATION) std::byte type[1024];
        const UNICODE_STRING& name = reinterpret_cast<const OBJECT_TYPE_INFORMATION*>(type)->TypeName;
        const auto handle = reinterpret_cast<HANDLE>(uintptr_t{entry.HandleValue});
        return entry.OwnerPid == GetCurrentProcessId() &&
               NtQueryObject(handle, ObjectTypeInformation, type, sizeof type, nullptr) == 0 &&
               std::wstring_view(name.Buffer, name.Length / sizeof(wchar_t)) == L"File";
    });
}

static std::unique_ptr<CEngine> engine;
static long long baseline = 0;  // the process's files before the engine was built

// What the system granted a handle of the data access (FILE_READ_DATA, FILE_WRITE_DATA),
// and whether it does overlapped I/O (no FILE_SYNCHRONOUS_IO_* mode); null when closed.
static std::string HandleMode(HidHandle handle) {
    const auto file = reinterpret_cast<HANDLE>(handle);
    OBJECT_BASIC_INFORMATION basic{};
    IO_STATUS_BLOCK status{};
    ULONG mode = 0;
    if (!IsOpenHandle(handle) || NtQueryObject(file, ObjectBasicInformation, &basic, sizeof basic, nullptr) != 0 ||
        NtQueryInformationFile(file, &status, &mode, sizeof mode, FileModeInformation) != 0) {
        return "null";
    }
    return Json(std::vector<long long>{basic.GrantedAccess & (FILE_READ_DATA | FILE_WRITE_DATA), (mode & 0x30) == 0});
}

static std::string ListDevices() {
    const std::shared_ptr<HidLayer> layer = CreateOsHidLayer();
    const std::unique_ptr<InterfaceSet> set = layer->OpenInterfaceSet();
    std::vector<std::string> devices;
    alignas(InterfaceDetail) std::byte record[4096];  // room for any path
    auto* detail = reinterpret_cast<InterfaceDetail*>(record);
    detail->cbSize = kInterfaceDetailHeaderSize;
    uint32_t size = 0;
    for (uint32_t index = 0; set->Enumerate(index) && set->Detail(detail, sizeof record, &size); ++index) {
        HidAttributes attributes{sizeof(HidAttributes), 0, 0, 0};
        wchar_t serial[kSerialChars] = {};
        const OwnedHandle handle(layer, layer->Open(detail->DevicePath, OpenMode::Query));
        layer->GetAttributes(handle.Get(), &attributes);  // on a handle that failed, both fail
        layer->GetSerialNumberString(handle.Get(), serial, sizeof serial - sizeof(wchar_t));
        devices.push_back(Answer()("vid", attributes.VendorID)("pid", attributes.ProductID)("serial", serial)(
            "path", detail->DevicePath));
    }
    return Answer()("devices", devices);
}

static std::string Init(const std::string& serial) {
    DestroyEngine(std::move(engine));
    baseline = OpenFiles();
    engine = BuildEngine(serial.c_str());
    CManager& manager = *engine->manager;
    const CHidDevice& device = manager.Device();
    // Windows leaves an older error behind on success: the backend must not let one
    // make a call of the pass count as failed.
    SetLastError(ERROR_ACCESS_DENIED);
    const OpenState result = manager.InitDevice();
    engine->initialized = result == OpenState::Ready;
    uint32_t words[2] = {};  // the key block's count of enumeration calls and of opened devices
    static_assert(kKeyBlockOpenedOffset == kKeyBlockEnumCallsOffset + sizeof words[0]);
    std::memcpy(words, device.KeyBlock() + kKeyBlockEnumCallsOffset, sizeof words);
    const auto* blockSerial = reinterpret_cast<const wchar_t*>(device.KeyBlock() + kKeyBlockSerialOffset);
    ULONG buffers = 0;  // stays 0 when the call fails
    HidD_GetNumInputBuffers(reinterpret_cast<HANDLE>(device.ReadHandle()), &buffers);
    return Caps(manager.Caps(), device.InputButtonCaps().data(), device.InputButtonCaps().size())(
        "result", static_cast<int>(result))("path", device.DevicePath())("serial", device.SerialNumber())(
        "firmware", device.FirmwareText())("digital", device.InputButtonCount())("calls", words[0])(
        "opened", words[1])("block_serial", std::wstring(blockSerial, wcsnlen(blockSerial, kKeyBlockSerialUnits)))(
        "buffers", buffers)("handles", std::vector<std::string>{HandleMode(device.QueryHandle()),
                                                                HandleMode(device.WriteHandle()),
                                                                HandleMode(device.ReadHandle())});
}

// The capabilities through the module's own export, on its own copy of the backend.
static std::string PydCaps(const std::string& path) {
    using Query = int (*)(const char*, void*, void*, uint16_t*);
    const LoadedModule pyd = LoadModule();
    const auto query = pyd ? reinterpret_cast<Query>(reinterpret_cast<void*>(
                                 GetProcAddress(pyd.get(), "torqpanel_hid_interface_caps")))
                           : nullptr;
    HidCaps caps{};
    HidButtonCaps buttons[8] = {};
    uint16_t count = 8;
    const int ok = query != nullptr ? query(path.c_str(), &caps, buttons, &count) : -1;
    return Caps(caps, buttons, ok == 1 ? count : 0)("ok", ok);
}

static std::string Run(const std::string& line) {
    const std::string word = line.substr(0, line.find(' '));
    const std::string argument = line.substr(std::min(line.size(), word.size() + 1));
    if (word == "list" || word == "pyd-caps" || word == "init") {
        return word == "list" ? ListDevices() : word == "init" ? Init(argument) : PydCaps(argument);
    }
    if (word == "close") {  // with no engine too: what the last one left behind
        DestroyEngine(std::move(engine));
        return Answer()("leaked", OpenFiles() - baseline);
    }
    if (!engine) {
        return Answer()("error", L"no engine");
    }
    CManager& manager = *engine->manager;
    Answer answer;
    if (word == "show") {
        for (size_t i = 0; i + 1 < argument.size() && i / 2 < kReportSize; i += 2) {
            manager.Display().Report()[i / 2] = static_cast<uint8_t>(std::stoul(argument.substr(i, 2), nullptr, 16));
        }
        manager.Display().SendReport();
    } else if (word == "bright") {
        manager.Display().SetGlobalBrightness(std::stoi(argument));
    } else if (word == "read") {
        uint8_t buffer[kInputReportCapacity] = {};
        uint32_t bytes = 0;
        const ReadResult result =
            manager.Device().ReadInputReport(buffer, manager.Caps().InputReportByteLength, &bytes);
        answer("changed", result == ReadResult::Changed)("failed", result == ReadResult::Failed)(
            "report", std::vector<long long>(buffer, buffer + bytes));
    } else if (word == "listen" || word == "stop") {
        answer("done", (word == "listen" ? manager.Listener().Start() : manager.Listener().Stop()) ==
                           ListenerResult::Done);
    } else if (word == "event") {
        const InputEvent event = manager.Input().Latest();
        answer("event", std::vector<long long>{event.device, event.isButton, event.value, event.number});
    }
    return answer("connected", manager.Device().Connected());
}

int main() {
    for (std::string line; std::getline(std::cin, line);) {
        std::string answer;
        try {
            answer = Run(line);
        } catch (const std::exception& error) {
            const std::string what = error.what();
            answer = Answer()("error", std::wstring(what.begin(), what.end()));
        }
        std::cout << "torq " << answer << std::endl;
    }
    Run("close");  // at the end of the input, an engine left is torn down
}
