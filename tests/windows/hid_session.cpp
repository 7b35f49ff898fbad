// The device code on the real win32 backend, one command per line on standard input and
// one JSON answer per line on standard output ("torq {...}"). tests/kernel/test_win32.py
// drives it under Wine in the kernel guest, where Wine's HID stack (winebus's hidraw
// bus, hidclass, hid.dll) sees the boards that the test plugs in as USB gadgets: one
// Wine process serves every case, since each costs tens of seconds under emulation.
//
//   list                 the HID interfaces SetupAPI lists: ids, version, serial, path
//   init [SERIAL]        a new engine (serial filter SERIAL) and its init
//   show HEX | bright N  the display report HEX (54 bytes) through SendReport; a brightness
//   read                 one channel read (up to its 2 s wait)
//   listen | stop | event  the listener, and the latest input event
//   info                 whether there is an engine, and connected
//   close                the engine's teardown; how many process handles it left behind
//   pyd-caps PATH        the capabilities of PATH through the module file's own export
//   quit
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
#include <sstream>
#include <string>
#include <vector>

#include "device/hid_device.h"
#include "module/manager.h"

using namespace torq;

namespace {

std::string Quote(const std::wstring& text) {
    std::string out = "\"";
    for (wchar_t c : text) {
        if (c == L'"' || c == L'\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c) & 0xFFFFu);
            out += escaped;
        }
    }
    return out + "\"";
}

std::string Hex(const uint8_t* data, size_t size) {
    std::string out;
    char byte[3];
    for (size_t i = 0; i < size; ++i) {
        std::snprintf(byte, sizeof byte, "%02x", data[i]);
        out += byte;
    }
    return out;
}

DWORD HandleCount() {
    DWORD count = 0;
    GetProcessHandleCount(GetCurrentProcess(), &count);
    return count;
}

// The data access the system granted a handle (FILE_READ_DATA, FILE_WRITE_DATA).
unsigned long DataAccess(HidHandle handle) {
    OBJECT_BASIC_INFORMATION basic{};
    ULONG length = 0;
    if (!IsOpenHandle(handle) ||
        NtQueryObject(reinterpret_cast<HANDLE>(handle), ObjectBasicInformation, &basic, sizeof basic, &length) != 0) {
        return 0xFFFFFFFFul;
    }
    return basic.GrantedAccess & (FILE_READ_DATA | FILE_WRITE_DATA);
}

bool Overlapped(HidHandle handle) {
    constexpr auto kFileModeInformation = static_cast<FILE_INFORMATION_CLASS>(16);
    constexpr ULONG kSynchronousIo = 0x30;  // FILE_SYNCHRONOUS_IO_ALERT | _NONALERT
    IO_STATUS_BLOCK status{};
    ULONG mode = 0;
    return NtQueryInformationFile(reinterpret_cast<HANDLE>(handle), &status, &mode, sizeof mode,
                                  kFileModeInformation) == 0 &&
           (mode & kSynchronousIo) == 0;
}

std::string ButtonCaps(const HidButtonCaps* caps, size_t count) {
    std::string out = "[";
    for (size_t i = 0; i < count; ++i) {
        out += (i ? ",[" : "[") + std::to_string(caps[i].UsagePage) + "," + std::to_string(caps[i].Range.UsageMin) +
               "," + std::to_string(caps[i].Range.UsageMax) + "]";
    }
    return out + "]";
}

std::string List() {
    const std::shared_ptr<HidLayer> layer = CreateOsHidLayer();
    const std::unique_ptr<InterfaceSet> set = layer->OpenInterfaceSet();
    std::string out = "{\"devices\":[";
    for (uint32_t index = 0; set->Enumerate(index); ++index) {
        uint32_t size = 0;
        set->Detail(nullptr, 0, &size);
        std::vector<std::byte> record(std::max<size_t>(size, sizeof(InterfaceDetail)));
        auto* detail = reinterpret_cast<InterfaceDetail*>(record.data());
        detail->cbSize = kInterfaceDetailHeaderSize;
        if (!set->Detail(detail, size, &size)) {
            break;
        }
        HidAttributes attributes{sizeof(HidAttributes), 0, 0, 0};
        wchar_t serial[kSerialChars] = {};
        const HidHandle handle = layer->Open(detail->DevicePath, OpenMode::Query);
        if (IsOpenHandle(handle)) {
            layer->GetAttributes(handle, &attributes);
            if (!layer->GetSerialNumberString(handle, serial, sizeof serial - sizeof(wchar_t))) {
                serial[0] = L'\0';
            }
            layer->Close(handle);
        }
        out += (index ? ",{" : "{") + std::string("\"vid\":") + std::to_string(attributes.VendorID) +
               ",\"pid\":" + std::to_string(attributes.ProductID) +
               ",\"version\":" + std::to_string(attributes.VersionNumber) + ",\"serial\":" + Quote(serial) +
               ",\"path\":" + Quote(detail->DevicePath) + "}";
    }
    return out + "]}";
}

std::string Init(std::unique_ptr<CEngine>& engine, const std::string& serial) {
    engine = BuildEngine(serial.c_str());
    CManager& manager = *engine->manager;
    CHidDevice& device = manager.device;
    // Windows leaves an older error behind on success: the backend must not let one
    // make a call of the pass count as failed.
    SetLastError(ERROR_ACCESS_DENIED);
    const int32_t result = manager.InitDevice();
    engine->initialized = result == static_cast<int32_t>(kOpenReady);
    uint32_t calls = 0;
    uint32_t opened = 0;
    std::memcpy(&calls, device.moduleKeyBlock + kKeyBlockEnumCallsOffset, sizeof calls);
    std::memcpy(&opened, device.moduleKeyBlock + kKeyBlockOpenedOffset, sizeof opened);
    const auto* blockSerial = reinterpret_cast<const wchar_t*>(device.moduleKeyBlock + kKeyBlockSerialOffset);
    ULONG buffers = 0;
    if (IsOpenHandle(device.readHandle) &&
        !HidD_GetNumInputBuffers(reinterpret_cast<HANDLE>(device.readHandle), &buffers)) {
        buffers = 0;
    }
    const int held = IsOpenHandle(device.queryHandle) + IsOpenHandle(device.writeHandle) +
                     IsOpenHandle(device.readHandle);
    return "{\"result\":" + std::to_string(result) + ",\"path\":" + Quote(device.devicePath) +
           ",\"serial\":" + Quote(device.serialNumber) + ",\"firmware\":" + Quote(device.firmwareText) +
           ",\"digital\":" + std::to_string(device.inputButtonCount) +
           ",\"analog\":" + std::to_string(manager.deviceCaps.NumberInputValueCaps) +
           ",\"input\":" + std::to_string(manager.deviceCaps.InputReportByteLength) +
           ",\"output\":" + std::to_string(manager.deviceCaps.OutputReportByteLength) +
           ",\"button_caps\":" + ButtonCaps(device.inputButtonCaps.data(), device.inputButtonCaps.size()) +
           ",\"calls\":" + std::to_string(calls) + ",\"opened\":" + std::to_string(opened) +
           ",\"block_serial\":" + Quote(std::wstring(blockSerial, wcsnlen(blockSerial, kKeyBlockSerialUnits))) +
           ",\"connected\":" + std::to_string(int{device.connected.load()}) + ",\"held\":" + std::to_string(held) +
           ",\"buffers\":" + std::to_string(buffers) + ",\"access\":[" + std::to_string(DataAccess(device.queryHandle)) +
           "," + std::to_string(DataAccess(device.writeHandle)) + "," + std::to_string(DataAccess(device.readHandle)) +
           "],\"read_overlapped\":" + std::to_string(int{IsOpenHandle(device.readHandle) && Overlapped(device.readHandle)}) +
           "}";
}

// The module file two folders above this program, loaded beside its stand-in
// python3.dll; its exported capability query runs on its own copy of the backend.
std::string PydCaps(const std::string& path) {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring module(self);
    for (int up = 0; up < 3; ++up) {
        module.resize(module.find_last_of(L'\\'));
    }
    module += L"\\torqpanel.pyd";
    const HMODULE pyd = LoadLibraryExW(module.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (pyd == nullptr) {
        return "{\"error\":\"cannot load " + std::to_string(GetLastError()) + "\"}";
    }
    using Query = int (*)(const char*, void*, void*, uint16_t*);
    const auto query = reinterpret_cast<Query>(reinterpret_cast<void*>(GetProcAddress(pyd, "torqpanel_hid_interface_caps")));
    HidCaps caps{};
    HidButtonCaps buttons[8] = {};
    uint16_t count = 8;
    const int ok = query != nullptr ? query(path.c_str(), &caps, buttons, &count) : -1;
    if (ok != 1) {
        count = 0;
    }
    FreeLibrary(pyd);
    return "{\"ok\":" + std::to_string(ok) + ",\"input\":" + std::to_string(caps.InputReportByteLength) +
           ",\"output\":" + std::to_string(caps.OutputReportByteLength) +
           ",\"values\":" + std::to_string(caps.NumberInputValueCaps) + ",\"button_caps\":" + ButtonCaps(buttons, count) +
           "}";
}

std::vector<uint8_t> FromHex(const std::string& hex) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

std::string Run(std::unique_ptr<CEngine>& engine, DWORD& baseline, const std::string& word, const std::string& argument) {
    if (word == "list") {
        return List();
    }
    if (word == "pyd-caps") {
        return PydCaps(argument);
    }
    if (word == "init") {
        if (engine) {
            return "{\"error\":\"close the engine first\"}";
        }
        baseline = HandleCount();
        return Init(engine, argument);
    }
    if (!engine) {
        return word == "info" ? "{\"engine\":0}" : "{\"error\":\"no engine\"}";
    }
    CManager& manager = *engine->manager;
    const auto connected = [&manager] {
        return "\"connected\":" + std::to_string(int{manager.device.connected.load()});
    };
    if (word == "show") {
        const std::vector<uint8_t> report = FromHex(argument);
        std::memcpy(manager.displayReport, report.data(), std::min(report.size(), kReportSize));
        manager.SendReport();
    } else if (word == "bright") {
        manager.SetGlobalBrightness(std::stoi(argument));
    } else if (word == "read") {
        uint8_t buffer[kInputReportCapacity] = {};
        uint32_t bytes = 0;
        const int32_t result = manager.device.ReadInputReport(buffer, manager.deviceCaps.InputReportByteLength, &bytes);
        return "{\"result\":" + std::to_string(result) + ",\"report\":\"" + Hex(buffer, bytes) + "\"," + connected() + "}";
    } else if (word == "listen" || word == "stop") {
        const int32_t result = word == "listen" ? manager.StartListener() : manager.StopListener();
        return "{\"result\":" + std::to_string(result) + "}";
    } else if (word == "event") {
        const InputEvent event = manager.input.Latest();
        return "{\"event\":[" + std::to_string(event.device) + "," + std::to_string(event.isButton) + "," +
               std::to_string(event.value) + "," + std::to_string(event.number) + "]," + connected() + "}";
    } else if (word == "close") {
        DestroyEngine(std::move(engine));
        return "{\"leaked\":" + std::to_string(static_cast<long>(HandleCount()) - static_cast<long>(baseline)) + "}";
    } else if (word != "info") {
        return "{\"error\":\"unknown command\"}";
    }
    std::string answer = "{\"engine\":1,";  // appended, not concatenated: GCC 12 warns falsely (-Wrestrict)
    answer += connected();
    return answer += "}";
}

}  // namespace

int main() {
    std::unique_ptr<CEngine> engine;
    DWORD baseline = 0;
    std::string line;
    std::printf("torq {\"ready\":1}\n");
    std::fflush(stdout);
    while (std::getline(std::cin, line) && line != "quit") {
        std::istringstream words(line);
        std::string word;
        std::string argument;
        words >> word >> argument;
        std::string answer;
        try {
            answer = Run(engine, baseline, word, argument);
        } catch (const std::exception& error) {
            answer = "{\"error\":" + Quote(std::wstring(error.what(), error.what() + std::strlen(error.what()))) + "}";
        }
        std::printf("torq %s\n", answer.c_str());
        std::fflush(stdout);
    }
    if (engine) {
        DestroyEngine(std::move(engine));
    }
    return 0;
}
