// The torqline Python object: its layout, its type and the type's initialiser and
// deallocator.
//
// Bodies: module.cpp makes the type (the method table, TorqlineType, IsTorqline) and the
// module (PyInit_torqpanel); wrappers.cpp holds TorqlineInit and TorqlineDealloc beside
// the methods, whose I/O lock they share. The method wrappers themselves are declared with
// the other exported functions (exports/exports.h).
#pragma once

#include <Python.h>

#include "exports/exports.h"
#include "module/engine.h"

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
