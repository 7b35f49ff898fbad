// get_device_info (PyGetDeviceInfo, declared in exports/exports.h): answers the keys of
// info_key.h from the engine's fields and constants.
#include "module/info_key.h"

#include <cstring>
#include <cwchar>

#include "module/console.h"
#include "module/torqline.h"
#include "platform/os.h"

namespace torq {

namespace {

PyObject* WideText(const wchar_t* text, size_t capacity) {
    return PyUnicode_FromWideChar(text, static_cast<Py_ssize_t>(wcsnlen(text, capacity)));
}

PyObject* Int32(int64_t value) {
    return PyLong_FromLong(static_cast<long>(static_cast<int32_t>(value)));
}

PyObject* Answer(const CEngine& engine, InfoKey key) {
    const CManager& manager = *engine.manager;
    const CHidDevice& device = manager.Device();
    switch (key) {
        case InfoKey::Version:
            return PyUnicode_FromString("0.2.0.1 (Full)");
        case InfoKey::Name:
            return PyUnicode_FromString("torqpanel");
        case InfoKey::Ticks:
            return Int32(TickCount());
        case InfoKey::Type:
            return Int32(kDeviceType);
        case InfoKey::VendorId:
            return Int32(device.TargetVendorId());
        case InfoKey::ProductId:
            return Int32(device.TargetProductId());
        case InfoKey::Firmware:
            return WideText(device.FirmwareText(), kFirmwareChars);
        case InfoKey::PanelCount:
            return Int32(1);
        case InfoKey::SerialNumber:
            return WideText(device.SerialNumber(), kSerialChars);
        case InfoKey::DevicePath:
            return PyUnicode_FromWideChar(device.DevicePath().data(),
                                          static_cast<Py_ssize_t>(device.DevicePath().size()));
        case InfoKey::Digits:
            return Int32(kDigitCount);
        case InfoKey::Gear:
            return Int32(1);
        case InfoKey::MaxRpmLed:
            return Int32(kRpmLedCount);
        case InfoKey::MaxWarningLed:
            return Int32(kWarningLedCount);
        case InfoKey::MaxExternalLed:
            return Int32(kExternalLedCount);
        case InfoKey::Brightness:
            return Int32(kMaxBrightness);
        case InfoKey::Digital:
            return Int32(device.InputButtonCount());
        case InfoKey::Analog:
            return PyLong_FromUnsignedLong(manager.Caps().NumberInputValueCaps);
        case InfoKey::RumbleMotor:
            return Int32(kRumbleMotorCount);
        case InfoKey::Connected:
            // The channel's own flag: set by a successful discovery, cleared by a failed
            // read or write and by closing, so a host can tell when to reopen the board.
            return Int32(device.Connected() ? 1 : 0);
        case InfoKey::Unknown:
            break;
    }
    PyErr_SetString(PyExc_ValueError, "Unknown parameter for get_device_info");
    return nullptr;
}

}  // namespace

}  // namespace torq

extern "C" PyObject* PyGetDeviceInfo(PyObject* self, PyObject* args) {
    using namespace torq;
    if (!IsTorqline(self)) {
        return nullptr;
    }
    const CEngine* engine = reinterpret_cast<TorqlineObject*>(self)->engine;
    if (engine == nullptr) {
        ConsolePrint("%s\n", kNotInitialized);
        return nullptr;
    }
    const char* key = nullptr;
    if (args == nullptr || !PyTuple_Check(args) || !PyArg_ParseTuple(args, "s", &key)) {
        // Missing, extra, non-str or unencodable, or no argument tuple at all from a
        // native caller: one message for all of them.
        PyErr_Clear();
        PyErr_SetString(PyExc_ValueError, "Invalid parameter for get_device_info");
        return nullptr;
    }
    try {
        return Answer(*engine, LookupInfoKey(key, std::strlen(key)));
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "Unknown error in get_device_info");
    }
    return nullptr;
}
