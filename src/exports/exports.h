// Every C function the library exports, in one place: the torqline method wrappers and
// BuildEx (for native callers of the module), the virtual bus (for torqsim and native test
// suites) and the capability queries. C and C++ callers and the tests include this file;
// the definitions live in src/module (the wrappers in wrappers.cpp, PyGetDeviceInfo in
// device_info.cpp, BuildEx in console.cpp) and src/exports (the rest).
//
// Strings are UTF-8 and zero-terminated. A bus is an opaque number handed out by
// torqpanel_vhid_bus_new; it stays valid, and its devices inspectable, until
// torqpanel_vhid_bus_free, even after the process has switched back to the operating
// system's backend (engines that opened handles on it keep it alive internally).
// Device numbers are per bus, from 1. Functions that can fail return 0 or -1 and
// leave a message for torqpanel_vhid_last_message.
#pragma once

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define TORQ_EXPORT __declspec(dllexport)
#else
#define TORQ_EXPORT __attribute__((visibility("default")))
#endif

// Python's object type, by the name Python.h gives it, so this header needs no Python.
typedef struct _object PyObject;

#ifdef __cplusplus
extern "C" {
#endif

// --- The torqline wrappers ------------------------------------------------------
// Each has the signature Python gives a method (the torqline object, then the argument
// tuple; set_gear also gets the keyword dictionary), with the method's results and errors.
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

// Composes "message #code" and the first of function / detail 1..3 that is given,
// prints "Error %s\n" with it and returns a new reference to False.
TORQ_EXPORT PyObject* BuildEx(const char* message, int code, const char* function,
                              const char* detail1, const char* detail2, const char* detail3);

// --- The virtual bus ------------------------------------------------------------
// A new empty bus (no devices). Returns 0 only when memory runs out.
TORQ_EXPORT uint64_t torqpanel_vhid_bus_new(void);
// Forget the bus; engines still holding handles on it keep what they need. Freeing the
// active bus restores the OS backend.
TORQ_EXPORT void torqpanel_vhid_bus_free(uint64_t bus);
// Make the bus the HID layer of this process (1), or restore the OS backend (bus 0).
TORQ_EXPORT int torqpanel_vhid_activate(uint64_t bus);
// The bus that is active now, or 0 when the OS backend is.
TORQ_EXPORT uint64_t torqpanel_vhid_active(void);

// Failure injection on the bus itself ("enumerate"); clear with name NULL or "".
TORQ_EXPORT int torqpanel_vhid_bus_fail(uint64_t bus, const char* name, uint32_t error);
TORQ_EXPORT int torqpanel_vhid_bus_clear(uint64_t bus, const char* name);

// Adds a device at the end of the enumeration order. serial NULL: the device has no
// serial string; path NULL: a generated unique path; descriptor NULL: the board's.
// Returns the device number (> 0), or 0 (bad descriptor, path already present, ...).
TORQ_EXPORT int torqpanel_vhid_add_device(uint64_t bus, uint16_t vid, uint16_t pid,
                                          uint16_t version, const char* serial,
                                          const char* path, const uint8_t* descriptor,
                                          size_t descriptorSize);

// The device's interface path as UTF-8. Returns the length it needs without the zero;
// copies as much as fits (always zero-terminated when capacity > 0).
TORQ_EXPORT size_t torqpanel_vhid_device_path(uint64_t bus, int device, char* buffer, size_t capacity);
// The device's report descriptor (the board's when none was given). Returns its length
// (0 for an unknown device); copies as much as fits.
TORQ_EXPORT size_t torqpanel_vhid_device_descriptor(uint64_t bus, int device, uint8_t* buffer,
                                                    size_t capacity);

// The device sends one input report (report-ID byte first). Returns 1, or 0 when the
// device is unplugged or unknown. Every open read handle of the device receives it;
// each keeps only the newest N unread reports (N = the last number of input buffers
// set on that handle; 32 until set, as the Windows driver).
TORQ_EXPORT int torqpanel_vhid_send_input(uint64_t bus, int device, const uint8_t* data, size_t size);

// Output reports written to the device, in order.
TORQ_EXPORT size_t torqpanel_vhid_frame_count(uint64_t bus, int device);
// Copies frame `index`; returns its length (0 when there is no such frame).
TORQ_EXPORT size_t torqpanel_vhid_frame(uint64_t bus, int device, size_t index, uint8_t* buffer, size_t capacity);
// Forget the recorded frames.
TORQ_EXPORT int torqpanel_vhid_clear_frames(uint64_t bus, int device);
// Forget the oldest `count` frames (all when fewer are recorded) and return how many
// went; frames written meanwhile stay. A reader that copies frames 0..n-1 and then
// drops n loses none, however fast the engine writes.
TORQ_EXPORT size_t torqpanel_vhid_drop_frames(uint64_t bus, int device, size_t count);

// Handles open on the device now; the last number of input buffers set on it (0 if never).
TORQ_EXPORT int torqpanel_vhid_open_handles(uint64_t bus, int device);
TORQ_EXPORT int torqpanel_vhid_input_buffers(uint64_t bus, int device);

// From now on the named step fails for this device, with `error` as its system error
// code where it has one (0: a plain device failure, never 997). Names: "detail",
// "open_query", "open_write", "open_read", "attributes", "serial", "preparsed",
// "button_caps", "write", "wait". Returns 1, or 0 for an unknown name or device.
TORQ_EXPORT int torqpanel_vhid_fail(uint64_t bus, int device, const char* name, uint32_t error);
// Clears one fault, or all of them with name NULL or "".
TORQ_EXPORT int torqpanel_vhid_clear(uint64_t bus, int device, const char* name);
// The device leaves the enumeration; I/O on its open handles fails from now on.
TORQ_EXPORT int torqpanel_vhid_unplug(uint64_t bus, int device);

// From now on the device takes no output report: a write waits until resume (and then
// goes through), an unplug or the close of its handle; with timeoutMs >= 0 it fails
// after that many milliseconds with error 1460 (timed out), as a real board's write
// does. A negative timeoutMs waits without limit.
TORQ_EXPORT int torqpanel_vhid_stall(uint64_t bus, int device, int64_t timeoutMs);
TORQ_EXPORT int torqpanel_vhid_resume(uint64_t bus, int device);
// The writes waiting on the device's stall now, and those that have timed out on it.
TORQ_EXPORT int torqpanel_vhid_stalled_writes(uint64_t bus, int device, int* waiting, size_t* timedOut);

// The text of the last failure of a torqpanel_vhid_ call on this thread.
TORQ_EXPORT const char* torqpanel_vhid_last_message(void);

// Capabilities our descriptor parser computes (what Windows would report): fills `caps`
// and up to *count button caps of report type `reportType` (0 input, 1 output,
// 2 feature); *count becomes the number available. Returns 1, or 0 for a descriptor
// that does not parse.
TORQ_EXPORT int torqpanel_vhid_descriptor_caps(const uint8_t* descriptor, size_t size,
                                               void* caps /* HidCaps, 64 bytes */,
                                               int reportType,
                                               void* buttonCaps /* HidButtonCaps[*count] */,
                                               uint16_t* count);

// The same for the value caps (HidValueCaps) of report type `reportType`.
TORQ_EXPORT int torqpanel_vhid_descriptor_value_caps(const uint8_t* descriptor, size_t size,
                                                     int reportType,
                                                     void* valueCaps /* HidValueCaps[*count] */,
                                                     uint16_t* count);

// --- The active backend ---------------------------------------------------------
// The capabilities that the active HID backend reports for one interface path, through
// the calls the capability probe makes, without opening it for reading or writing.
// Fills `caps` (HidCaps, 64 bytes) and up to *count input button caps (HidButtonCaps);
// *count becomes the number written. Returns 1, or 0 when the path cannot be opened or
// its capabilities cannot be read. `path` is UTF-8.
TORQ_EXPORT int torqpanel_hid_interface_caps(const char* path, void* caps, void* inputButtonCaps,
                                             uint16_t* count);

#ifdef __cplusplus
}
#endif
