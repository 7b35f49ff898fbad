// Console lines: plain text on the process's standard output (file descriptor 1), not
// Python's sys.stdout, flushed at once so that they interleave with the host's output
// in the order they were printed.
#pragma once

#include <Python.h>

#include "exports/exports.h"

namespace torq {

#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void ConsolePrint(const char* format, ...);

inline constexpr const char* kNotInitialized = "Error: torqline Not initialized!";

}  // namespace torq
