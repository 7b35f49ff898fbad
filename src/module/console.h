// Console lines: plain text on the process's standard output (file descriptor 1), not
// Python's sys.stdout, flushed at once so that they interleave with the host's output
// in the order they were printed.
#pragma once

#include <Python.h>

#include "module/export.h"

namespace torq {

#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void ConsolePrint(const char* format, ...);

inline constexpr const char* kNotInitialized = "Error: torqline Not initialized!";

}  // namespace torq

extern "C" {
// Composes "message #code" and the first of function / detail 1..3 that is given,
// prints "Error %s\n" with it and returns a new reference to False.
TORQ_EXPORT PyObject* BuildEx(const char* message, int code, const char* function,
                              const char* detail1, const char* detail2, const char* detail3);
}
