// The torqline Python object and the exported method wrappers.
//
// The method wrappers are declared with the other exported functions (exports/exports.h).
#pragma once

#include <Python.h>

#include "exports/exports.h"
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
