// The torqline methods: parse, check the engine, call one manager operation, convert
// the result. Native exceptions never cross into Python.
#include <climits>
#include <exception>
#include <new>

#include "module/console.h"
#include "module/torqline.h"
#include "platform/os.h"

using torq::CEngine;
using torq::ConsolePrint;
using torq::IsTorqline;
using torq::kNotInitialized;

namespace {

CEngine* EngineOf(PyObject* self) {
    return reinterpret_cast<torq::TorqlineObject*>(self)->engine;
}

// The engine check of the methods: the console line, then a null result without an
// exception (Python reports that as SystemError). A foreign object gets TypeError.
CEngine* RequireEngine(PyObject* self) {
    if (!IsTorqline(self)) {
        return nullptr;
    }
    CEngine* engine = EngineOf(self);
    if (engine == nullptr) {
        ConsolePrint("%s", kNotInitialized);
    }
    return engine;
}

// Runs a device write with the interpreter lock released: other Python threads go on
// while the system call blocks. The manager has copied the report already.
void WithoutInterpreterLock(void (*work)(void*), void* context) {
    Py_BEGIN_ALLOW_THREADS
    work(context);
    Py_END_ALLOW_THREADS
}

// Holds an engine's I/O lock for the rest of a call. A lock that is taken is waited for
// with the interpreter lock released: its holder may be a write that needs the
// interpreter lock back before it can let go.
class IoLock {
public:
    explicit IoLock(CEngine& engine) : lock_(engine.ioLock, std::try_to_lock) {
        if (!lock_.owns_lock()) {
            Py_BEGIN_ALLOW_THREADS
            lock_.lock();
            Py_END_ALLOW_THREADS
        }
    }

private:
    std::unique_lock<std::mutex> lock_;
};

PyObject* NewNone() {
    Py_INCREF(Py_None);
    return Py_None;
}

PyObject* NewBool(bool value) {
    PyObject* result = value ? Py_True : Py_False;
    Py_INCREF(result);
    return result;
}

// Runs `work` and turns an escaping native exception into RuntimeError: the exception's
// text for the standard family, `unknown` for anything else.
template <typename Work>
PyObject* Guarded(const char* unknown, Work&& work) {
    try {
        return work();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, unknown);
    }
    return nullptr;
}

// Native code calls the exported wrappers with whatever it holds as the argument tuple:
// the argument parser would crash on a null one and call any other object a SystemError.
bool IsArgumentTuple(PyObject* args) {
    if (args != nullptr && PyTuple_Check(args)) {
        return true;
    }
    PyErr_SetString(PyExc_TypeError, "expected a tuple of arguments");
    return false;
}

// Reads a Python int as a 32-bit signed number, failing the way the "i" format does.
bool ReadInt32(PyObject* number, int32_t* out) {
    const long long value = PyLong_AsLongLong(number);
    if (value == -1 && PyErr_Occurred()) {
        return false;
    }
    if (value > INT_MAX) {
        PyErr_SetString(PyExc_OverflowError, "signed integer is greater than maximum");
        return false;
    }
    if (value < INT_MIN) {
        PyErr_SetString(PyExc_OverflowError, "signed integer is less than minimum");
        return false;
    }
    *out = static_cast<int32_t>(value);
    return true;
}

// The gear text's first ASCII character; characters outside ASCII are dropped first.
int32_t GearFromText(PyObject* text) {
    PyObject* ascii = PyUnicode_AsEncodedString(text, "ascii", "ignore");
    if (ascii == nullptr) {
        PyErr_Clear();
        return '0';
    }
    char* bytes = nullptr;
    Py_ssize_t length = 0;
    int32_t value = '0';
    if (PyBytes_AsStringAndSize(ascii, &bytes, &length) == 0 && length > 0) {
        value = static_cast<unsigned char>(bytes[0]);
    } else {
        PyErr_Clear();
    }
    Py_DECREF(ascii);
    return value;
}

// start_input_listener and stop_input_listener: they need a successful init.
PyObject* ListenerCall(PyObject* self, torq::ListenerResult (torq::InputListener::*operation)(), const char* refused,
                       const char* unknown) {
    CEngine* engine = RequireEngine(self);
    if (engine == nullptr) {
        return nullptr;
    }
    return Guarded(unknown, [engine, operation, refused]() -> PyObject* {
        if (!engine->initialized) {
            PyErr_SetString(PyExc_RuntimeError, "Manager is not running.");
            return nullptr;
        }
        if ((engine->manager->Listener().*operation)() != torq::ListenerResult::Done) {
            PyErr_SetString(PyExc_RuntimeError, refused);
            return nullptr;
        }
        return NewBool(true);
    });
}

int32_t ClampState(int32_t state) {
    return state < 0 ? 0 : (state > 1 ? 1 : state);
}

// Stores a panel text and encodes it. Running out of memory while storing the text
// raises MemoryError and leaves the stored text and the display as they were.
PyObject* SetPanelText(PyObject* self, PyObject* args, bool right) {
    const char* text = nullptr;
    if (!IsArgumentTuple(args) || !PyArg_ParseTuple(args, "s", &text)) {
        return nullptr;
    }
    CEngine* engine = RequireEngine(self);
    if (engine == nullptr) {
        return nullptr;
    }
    try {
        engine->manager->Display().SetPanelText(right ? torq::Panel::Right : torq::Panel::Left, text);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    return NewNone();
}

// Parses the two integers of an LED or motor setter.
bool ParsePair(PyObject* args, int32_t* first, int32_t* second) {
    int a = 0;
    int b = 0;
    if (!IsArgumentTuple(args) || !PyArg_ParseTuple(args, "ii", &a, &b)) {
        return false;
    }
    *first = a;
    *second = b;
    return true;
}

// The LED setters: parse the number and the state, check the engine, then apply the
// setter's own rule.
template <typename Rule>
PyObject* LedCall(PyObject* self, PyObject* args, Rule rule) {
    int32_t led = 0;
    int32_t state = 0;
    if (!ParsePair(args, &led, &state)) {
        return nullptr;
    }
    CEngine* engine = RequireEngine(self);
    if (engine == nullptr) {
        return nullptr;
    }
    rule(engine->manager->Display(), led, state);
    return NewNone();
}

}  // namespace

extern "C" {

PyObject* PyDev_set_gear(PyObject* self, PyObject* args, PyObject* /*kwds: accepted, ignored*/) {
    PyObject* gear = nullptr;
    int point = 0;
    if (!IsArgumentTuple(args) || !PyArg_ParseTuple(args, "O|p", &gear, &point)) {
        return nullptr;
    }
    int32_t value = 0;
    if (PyUnicode_Check(gear)) {
        value = GearFromText(gear);
    } else if (PyLong_Check(gear)) {
        if (!ReadInt32(gear, &value)) {
            return nullptr;
        }
    } else {
        PyErr_SetString(PyExc_TypeError, "set_gear - First argument must be a string or integer.");
        return nullptr;
    }
    if (value > 128) {
        point = 1;
        value -= 128;
    }
    CEngine* engine = RequireEngine(self);
    if (engine == nullptr) {
        return nullptr;
    }
    engine->manager->Display().SetGear(static_cast<uint8_t>(value & 0xFF), point);
    return NewNone();
}

PyObject* PyInitMgr(PyObject* self, PyObject* /*args*/) {
    if (!IsTorqline(self)) {
        return nullptr;
    }
    CEngine* engine = EngineOf(self);
    if (engine == nullptr) {
        ConsolePrint("%s", kNotInitialized);
        return NewBool(false);
    }
    if (engine->initialized) {
        return NewBool(true);  // a device lost after a successful init is not reopened
    }
    const IoLock io(*engine);
    if (engine->initialized) {
        return NewBool(true);  // another thread's init ended while this one waited
    }
    return Guarded("Unknown error in init", [engine]() -> PyObject* {
        torq::RequestTimerResolution();
        const torq::OpenState result = engine->manager->InitDevice();
        if (result == torq::OpenState::Ready) {
            engine->initialized = true;
            engine->returnedEvent = torq::InputEvent{};
            return NewBool(true);
        }
        if (result == torq::OpenState::None) {
            return BuildEx("error: no supported device found, init failed!", 1001, "init", nullptr,
                           nullptr, nullptr);
        }
        return BuildEx("error: device init failed!", 1001, "init", nullptr, nullptr, nullptr);
    });
}

PyObject* PyGetModuleKey(PyObject* self, PyObject* /*args*/) {
    CEngine* engine = RequireEngine(self);
    if (engine == nullptr) {
        return nullptr;
    }
    return Guarded("Unknown error in get_module", [engine]() -> PyObject* {
        return PyCapsule_New(engine->moduleKeyBlock, "module.key", nullptr);
    });
}

PyObject* PyGetInputData(PyObject* self, PyObject* /*args*/) {
    if (!IsTorqline(self)) {
        return nullptr;
    }
    CEngine* engine = EngineOf(self);
    if (engine == nullptr) {
        ConsolePrint("%s", kNotInitialized);
        return Py_BuildValue("(iiiii)", -4, 0, 0, 0, 0);
    }
    return Guarded("Unknown error in get_input_data", [engine]() -> PyObject* {
        if (!engine->manager->Listener().Running()) {
            return NewNone();
        }
        const torq::InputEvent latest = engine->manager->Input().Latest();
        int changed = 0;
        if (!(latest == engine->returnedEvent)) {
            engine->returnedEvent = latest;
            changed = 1;
        }
        const torq::InputEvent& event = engine->returnedEvent;
        return Py_BuildValue("(iiiii)", event.device / 1000, event.isButton, event.number,
                             event.value, changed);
    });
}

PyObject* PyStartInputListener(PyObject* self, PyObject* /*args*/) {
    return ListenerCall(self, &torq::InputListener::Start, "Failed to start input event thread.",
                        "Unknown error in start_input_listener");
}

PyObject* PyStopInputListener(PyObject* self, PyObject* /*args*/) {
    return ListenerCall(self, &torq::InputListener::Stop, "Failed to stop input event thread.",
                        "Unknown error in stop_input_listener");
}

PyObject* PyClose(PyObject* self, PyObject* /*args*/) {
    CEngine* engine = RequireEngine(self);
    if (engine == nullptr) {
        return nullptr;
    }
    // Stops the listener only; the device stays open until the object goes.
    static_cast<void>(engine->manager->Listener().Stop());
    return NewBool(true);
}

PyObject* PySendReport(PyObject* self, PyObject* /*args*/) {
    CEngine* engine = RequireEngine(self);
    if (engine == nullptr) {
        return nullptr;
    }
    const IoLock io(*engine);
    engine->manager->Display().SendReport();
    return NewNone();
}

PyObject* PySetOneRPMLed(PyObject* self, PyObject* args) {
    return LedCall(self, args, [](torq::DisplayState& display, int32_t led, int32_t state) {
        if (led >= 1 && led <= torq::kRpmLedCount) {
            // The bar takes the state as given: only 1 lights an LED.
            display.SetLed(led - 1, static_cast<uint32_t>(state), torq::LedGroup::RpmBar);
        }
    });
}

PyObject* PySetWarnLed(PyObject* self, PyObject* args) {
    return LedCall(self, args, [](torq::DisplayState& display, int32_t led, int32_t state) {
        if (led >= 1 && led <= 6) {
            display.SetLed(led - 1, static_cast<uint32_t>(ClampState(state)), torq::LedGroup::Bank);
        }
    });
}

PyObject* PySetExternalLed(PyObject* self, PyObject* args) {
    return LedCall(self, args, [](torq::DisplayState& display, int32_t led, int32_t state) {
        // External LED k sits in bank slot 6 + k; with no external LEDs no slot qualifies.
        const int64_t slot =
            (led >= 1 && led <= torq::kExternalLedCount) ? int64_t{led} + 6 : int64_t{led};
        if (slot >= 7 && slot <= torq::kLedBankSize) {
            display.SetLed(static_cast<int32_t>(slot - 1), static_cast<uint32_t>(ClampState(state)),
                           torq::LedGroup::Bank);
        }
    });
}

PyObject* PySetGlobalBrightness(PyObject* self, PyObject* args) {
    int level = 0;
    if (!IsArgumentTuple(args) || !PyArg_ParseTuple(args, "i", &level)) {
        return nullptr;
    }
    CEngine* engine = RequireEngine(self);
    if (engine == nullptr) {
        return nullptr;
    }
    const IoLock io(*engine);
    engine->manager->Display().SetGlobalBrightness(level);
    return NewNone();
}

PyObject* PySetRumbleMotor(PyObject* self, PyObject* args) {
    int32_t motor = 0;
    int32_t power = 0;
    if (!ParsePair(args, &motor, &power)) {
        return nullptr;
    }
    if (motor != 1 && motor != 2) {
        return NewNone();  // before the engine check, as documented
    }
    CEngine* engine = RequireEngine(self);
    if (engine == nullptr) {
        return nullptr;
    }
    engine->manager->Display().SetRumbleMotor(motor - 1, power);
    return NewNone();
}

PyObject* PySetLeftDigits(PyObject* self, PyObject* args) {
    return SetPanelText(self, args, false);
}

PyObject* PySetRightDigits(PyObject* self, PyObject* args) {
    return SetPanelText(self, args, true);
}

}  // extern "C"

namespace torq {

int TorqlineInit(PyObject* self, PyObject* args, PyObject* /*kwds: ignored*/) {
    const char* serial = nullptr;
    if (!PyArg_ParseTuple(args, "|s", &serial)) {
        return -1;
    }
    auto* object = reinterpret_cast<TorqlineObject*>(self);
    try {
        if (object->engine == nullptr) {
            object->engine = BuildEngine(serial, WithoutInterpreterLock).release();
        } else {
            // A second initialiser call replaces the engine's manager: the first is torn
            // down properly (blanked, listener stopped, device closed) instead of being
            // leaked, and the engine itself stays, with what get_module handed out.
            const IoLock io(*object->engine);
            RebuildEngine(*object->engine, serial);
        }
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
        return -1;
    }
    return 0;
}

void TorqlineDealloc(PyObject* self) {
    auto* object = reinterpret_cast<TorqlineObject*>(self);
    std::unique_ptr<CEngine> engine(object->engine);
    object->engine = nullptr;
    if (engine) {
        const IoLock io(*engine);
        TeardownEngine(*engine);
    }
    engine.reset();
    PyTypeObject* type = Py_TYPE(self);
    auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free(self);
    Py_DECREF(type);  // instances of a heap type hold a reference to it
}

}  // namespace torq
