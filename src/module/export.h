// Marks the C functions that the library exports to native callers.
#pragma once

#if defined(_WIN32)
#define TORQ_EXPORT __declspec(dllexport)
#else
#define TORQ_EXPORT __attribute__((visibility("default")))
#endif
