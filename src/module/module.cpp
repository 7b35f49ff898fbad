// The module torqpanel and its one type, torqline, created from a PyType_Spec
// against the stable ABI.
#include "module/torqline.h"

#include "module/console.h"

namespace torq {
namespace {

PyTypeObject* g_torqlineType = nullptr;

PyMethodDef kMethods[] = {
    {"set_gear", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(PyDev_set_gear)),
     METH_VARARGS | METH_KEYWORDS, "Set gear"},
    {"init", PyInitMgr, METH_NOARGS, "Initialize the manager."},
    {"get_module", PyGetModuleKey, METH_NOARGS, "Retrieve module Reference."},
    {"get_device_info", PyGetDeviceInfo, METH_VARARGS, "Retrieve device information."},
    {"get_input_data", PyGetInputData, METH_NOARGS, "Retrieve input data."},
    {"start_input_listener", PyStartInputListener, METH_NOARGS, "Start Input Listener"},
    {"stop_input_listener", PyStopInputListener, METH_NOARGS, "Stop Input Listener"},
    {"show_me", PySendReport, METH_NOARGS, "Send report to board"},
    {"set_rpm_led", PySetOneRPMLed, METH_VARARGS, "Set one RPM LED state"},
    {"set_warning_led", PySetWarnLed, METH_VARARGS, "Set warning LED state"},
    {"set_external_led", PySetExternalLed, METH_VARARGS, "Set external LED state"},
    {"set_brightness", PySetGlobalBrightness, METH_VARARGS, "Set global brightness"},
    {"load_rumble_motor", PySetRumbleMotor, METH_VARARGS, "Set rumble motor power"},
    {"set_central_panel", PySetLeftDigits, METH_VARARGS, "Set central digits display"},
    {"terminate", PyClose, METH_NOARGS, "Close Python module"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_init, reinterpret_cast<void*>(TorqlineInit)},
    {Py_tp_dealloc, reinterpret_cast<void*>(TorqlineDealloc)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "torqpanel.torqline",
    static_cast<int>(sizeof(TorqlineObject)),
    0,
    Py_TPFLAGS_DEFAULT,  // not a base type, not garbage-collected
    kSlots,
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "torqpanel",
    "Manages DASHLINK device",
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyTypeObject* TorqlineType() {
    return g_torqlineType;
}

void SetTorqlineType(PyTypeObject* type) {
    g_torqlineType = type;
}

bool IsTorqline(PyObject* self) {
    if (self != nullptr && g_torqlineType != nullptr && Py_TYPE(self) == g_torqlineType) {
        return true;
    }
    PyErr_SetString(PyExc_TypeError, "expected a torqpanel.torqline object");
    return false;
}

}  // namespace torq

PyMODINIT_FUNC PyInit_torqpanel(void) {
    if (!Py_IsInitialized()) {
        torq::ConsolePrint("Python interpreter not initialized");
        return nullptr;
    }
    PyObject* module = PyModule_Create2(&torq::kModule, PYTHON_ABI_VERSION);
    if (module == nullptr) {
        return nullptr;
    }
    // The type is made once per process: the wrappers recognise their objects by it, so
    // a second init (native embedding code calling this function again) must hand out
    // the same type, or every object made so far would be refused. The reference kept
    // in the slot holds it for the life of the process.
    PyObject* type = reinterpret_cast<PyObject*>(torq::TorqlineType());
    if (type == nullptr) {
        type = PyType_FromSpec(&torq::kSpec);
        if (type == nullptr) {
            Py_DECREF(module);
            return nullptr;
        }
        torq::SetTorqlineType(reinterpret_cast<PyTypeObject*>(type));
    }
    // PyModule_AddObject steals the reference only on success.
    Py_INCREF(type);
    if (PyModule_AddObject(module, "torqline", type) != 0) {
        Py_DECREF(type);
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
