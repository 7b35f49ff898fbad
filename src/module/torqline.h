// The torqline Python object and the exported method wrappers.
//
// Each wrapper has the signature Python gives a method (the torqline object, then the
// argument tuple; set_gear also gets the keyword dictionary) and is exported, so that
// native code can call it directly with the same results and errors.
#pragma once

#include <Python.h>

#include "module/export.h"
#include "module/manager.h"

namespace torq {

struct TorqlineObject {
    PyObject_HEAD
    CEngine* engine;
};

// The torqline type of this process, once the module has been initialised.
PyTypeObject* TorqlineType();
void SetTorqlineType(PyTypeObject* type);

// True for a torqline object; otherwise sets TypeError. Native callers can hand any
// object to the exported wrappers, and a foreign object must not be read as one.
bool IsTorqline(PyObject* self);

// The type's initialiser and deallocator.
int TorqlineInit(PyObject* self, PyObject* args, PyObject* kwds);
void TorqlineDealloc(PyObject* self);

}  // namespace torq

extern "C" {
TORQ_EXPORT PyObject* PyDev_set_gear(PyObject* self, PyObject* args, PyObject* kwds);
TORQ_EXPORT PyObject* PyInitMgr(PyObject* self, PyObject* args);
TORQ_EXPORT PyObject* PyGetModuleKey(PyObject* self, PyObject* args);
TORQ_EXPORT PyObject* PyGetDeviceInfo(PyObject* self, PyObject* args);
TORQ_EXPORT PyObject* PyGetInputData(PyObject* self, PyObject* args);
TORQ_EXPORT PyObject* PyStartInputListener(PyObject* self, PyObject* args);
TORQ_EXPORT PyObject* PyStopInputListener(PyObject* self, PyObject* args);
TORQ_EXPORT PyObject* PySendReport(PyObject* self, PyObject* args);
TORQ_EXPORT PyObject* PySetOneRPMLed(PyObject* self, PyObject* args);
TORQ_EXPORT PyObject* PySetWarnLed(PyObject* self, PyObject* args);
TORQ_EXPORT PyObject* PySetExternalLed(PyObject* self, PyObject* args);
TORQ_EXPORT PyObject* PySetGlobalBrightness(PyObject* self, PyObject* args);
TORQ_EXPORT PyObject* PySetRumbleMotor(PyObject* self, PyObject* args);
TORQ_EXPORT PyObject* PySetLeftDigits(PyObject* self, PyObject* args);
TORQ_EXPORT PyObject* PyClose(PyObject* self, PyObject* args);
TORQ_EXPORT PyObject* PySetRightDigits(PyObject* self, PyObject* args);
}
