// The device code on the real win32 backend, one command per line on standard input and
// one JSON answer per line on standard output ("torq {...}"), for tests/kernel/test_win32.py,
// which runs it under Wine in the kernel guest: one Wine process serves every case, since
// each costs tens of seconds under emulation.
//
//   list                 the HID interfaces SetupAPI lists: ids, version, serial, path
//   init [SERIAL]        a new engine (serial filter SERIAL; the one before torn down), its init
//   show HEX | bright N  the display report HEX (54 bytes) through SendReport; a brightness
//   read                 one channel read (up to its 2 s wait)
//   listen | stop | event | info   the listener; the latest input event; connected
//   close                the engine's teardown; how many process handles it left behind
//   pyd-caps PATH        the capabilities of PATH through the module file's own export
//   quit
#include <windows.h>
#include <winternl.h>
extern "C" {
#include <hidsdi.h>
}

#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <algorithm>
#include <string>
#include <vector>

#include "module/manager.h"
#include "loaded_module.h"
#include "quote.h"

using namespace torq;

namespace {

// One JSON object, built a field at a time.
class Answer {
public:
    Answer& operator()(const char* key, long long value) { return Raw(key, std::to_string(value)); }
    Answer& operator()(const char* key, const std::wstring& text) { return Raw(key, Quote(text)); }
    Answer& Raw(const char* key, const std::string& json) {
        // Appended a piece at a time: GCC 12 warns falsely (-Wrestrict) on "..." + string.
        ((body_ += body_.empty() ? "{\"" : ",\"") += key) += "\":";
        body_ += json;
        return *this;
    }
    std::string Text() const { return body_ + "}"; }

private:
    std::string body_;
};

// A JSON list of items that are JSON already.
std::string Join(const std::vector<std::string>& items) {
    std::string out = "[";
    for (const std::string& item : items) {
        (out += out.size() > 1 ? "," : "") += item;
    }
    return out += "]";
}

std::string List(const std::vector<long long>& values) {
    std::vector<std::string> items;
    for (const long long value : values) {
        items.push_back(std::to_string(value));
    }
    return Join(items);
}

std::string ButtonCaps(const HidButtonCaps* caps, size_t count) {
    std::vector<std::string> items;
    for (size_t i = 0; i < count; ++i) {
        items.push_back(List({caps[i].UsagePage, caps[i].Range.UsageMin, caps[i].Range.UsageMax}));
    }
    return Join(items);
}

Answer& CapsAnswer(Answer& answer, const HidCaps& caps, const HidButtonCaps* buttons, size_t count) {
    return answer("input", caps.InputReportByteLength)("output", caps.OutputReportByteLength)(
                     "values", caps.NumberInputValueCaps)
        .Raw("button_caps", ButtonCaps(buttons, count));
}

DWORD HandleCount() {
    DWORD count = 0;
    GetProcessHandleCount(GetCurrentProcess(), &count);
    return count;
}

// What the system granted a handle of the data access (FILE_READ_DATA, FILE_WRITE_DATA),
// and whether it does overlapped I/O (no FILE_SYNCHRONOUS_IO_* mode); null when closed.
std::string HandleMode(HidHandle handle) {
    const auto file = reinterpret_cast<HANDLE>(handle);
    OBJECT_BASIC_INFORMATION basic{};
    ULONG length = 0;
    IO_STATUS_BLOCK status{};
    ULONG mode = 0;
    if (!IsOpenHandle(handle) || NtQueryObject(file, ObjectBasicInformation, &basic, sizeof basic, &length) != 0 ||
        // 16: FileModeInformation
        NtQueryInformationFile(file, &status, &mode, sizeof mode, static_cast<FILE_INFORMATION_CLASS>(16)) != 0) {
        return "null";
    }
    return List({basic.GrantedAccess & (FILE_READ_DATA | FILE_WRITE_DATA), (mode & 0x30) == 0});
}

std::string ListDevices() {
    const std::shared_ptr<HidLayer> layer = CreateOsHidLayer();
    const std::unique_ptr<InterfaceSet> set = layer->OpenInterfaceSet();
    std::vector<std::string> devices;
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
        const OwnedHandle handle(layer, layer->Open(detail->DevicePath, OpenMode::Query));
        if (handle && (!layer->GetAttributes(handle.Get(), &attributes) ||
                       !layer->GetSerialNumberString(handle.Get(), serial, sizeof serial - sizeof(wchar_t)))) {
            serial[0] = L'\0';
        }
        devices.push_back(Answer()("vid", attributes.VendorID)("pid", attributes.ProductID)(
                              "version", attributes.VersionNumber)("serial", serial)("path", detail->DevicePath)
                              .Text());
    }
    return Answer().Raw("devices", Join(devices)).Text();
}

std::string Init(CEngine& engine) {
    CManager& manager = *engine.manager;
    const CHidDevice& device = manager.Device();
    // Windows leaves an older error behind on success: the backend must not let one
    // make a call of the pass count as failed.
    SetLastError(ERROR_ACCESS_DENIED);
    const OpenState result = manager.InitDevice();
    engine.initialized = result == OpenState::Ready;
    const auto word = [&device](size_t offset) {
        uint32_t value = 0;
        std::memcpy(&value, device.KeyBlock() + offset, sizeof value);
        return value;
    };
    const auto* blockSerial = reinterpret_cast<const wchar_t*>(device.KeyBlock() + kKeyBlockSerialOffset);
    ULONG buffers = 0;  // stays 0 when the call fails
    HidD_GetNumInputBuffers(reinterpret_cast<HANDLE>(device.ReadHandle()), &buffers);
    Answer answer;
    CapsAnswer(answer, manager.Caps(), device.InputButtonCaps().data(), device.InputButtonCaps().size());
    return answer("result", static_cast<int>(result))("path", device.DevicePath())("serial", device.SerialNumber())(
               "firmware", device.FirmwareText())("digital", device.InputButtonCount())(
               "calls", word(kKeyBlockEnumCallsOffset))("opened", word(kKeyBlockOpenedOffset))(
            "block_serial", std::wstring(blockSerial, wcsnlen(blockSerial, kKeyBlockSerialUnits)))(
            "connected", device.Connected())("buffers", buffers)
        .Raw("handles", Join({HandleMode(device.QueryHandle()), HandleMode(device.WriteHandle()),
                              HandleMode(device.ReadHandle())}))
        .Text();
}

// The capabilities through the module's own export, on its own copy of the backend.
std::string PydCaps(const std::string& path) {
    using Query = int (*)(const char*, void*, void*, uint16_t*);
    const LoadedModule pyd = LoadModule();
    const auto query = pyd ? reinterpret_cast<Query>(reinterpret_cast<void*>(
                                 GetProcAddress(pyd.get(), "torqpanel_hid_interface_caps")))
                           : nullptr;
    HidCaps caps{};
    HidButtonCaps buttons[8] = {};
    uint16_t count = 8;
    const int ok = query != nullptr ? query(path.c_str(), &caps, buttons, &count) : -1;
    Answer answer;
    return CapsAnswer(answer("ok", ok), caps, buttons, ok == 1 ? count : 0).Text();
}

std::string Run(std::unique_ptr<CEngine>& engine, DWORD& baseline, const std::string& word,
                const std::string& argument) {
    if (word == "list" || word == "pyd-caps") {
        return word == "list" ? ListDevices() : PydCaps(argument);
    }
    if (word == "init") {
        if (engine) {
            DestroyEngine(std::move(engine));
        }
        baseline = HandleCount();
        engine = BuildEngine(argument.c_str());
        return Init(*engine);
    }
    if (!engine) {
        return word == "info" ? Answer()("engine", 0).Text() : Answer()("error", L"no engine").Text();
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
        answer("changed", result == ReadResult::Changed)("failed", result == ReadResult::Failed)
            .Raw("report", List(std::vector<long long>(buffer, buffer + bytes)));
    } else if (word == "listen" || word == "stop") {
        const ListenerResult result = word == "listen" ? manager.Listener().Start() : manager.Listener().Stop();
        answer("done", result == ListenerResult::Done);
    } else if (word == "event") {
        const InputEvent event = manager.Input().Latest();
        answer.Raw("event", List({event.device, event.isButton, event.value, event.number}));
    } else if (word == "close") {
        DestroyEngine(std::move(engine));
        return Answer()("leaked", static_cast<long long>(HandleCount()) - baseline).Text();
    } else if (word != "info") {
        return Answer()("error", L"unknown command").Text();
    }
    return answer("engine", 1)("connected", manager.Device().Connected()).Text();
}

}  // namespace

int main() {
    std::unique_ptr<CEngine> engine;
    DWORD baseline = 0;
    for (std::string line; std::getline(std::cin, line) && line != "quit";) {
        const std::string word = line.substr(0, line.find(' '));
        const std::string argument = line.substr(std::min(line.size(), word.size() + 1));
        std::string answer;
        try {
            answer = Run(engine, baseline, word, argument);
        } catch (const std::exception& error) {
            answer = Answer()("error", std::wstring(error.what(), error.what() + std::strlen(error.what()))).Text();
        }
        std::printf("torq %s\n", answer.c_str());
        std::fflush(stdout);
    }
    if (engine) {
        DestroyEngine(std::move(engine));
    }
    return 0;
}
