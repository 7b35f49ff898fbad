/* pyconfig.h for building limited-API (abi3) extension modules for 64-bit Windows
 * with mingw-w64 on a machine without a Windows Python.
 *
 * The limited-API headers of any CPython 3.9 or later are the same on every platform
 * except for this file. It says what a 64-bit Windows CPython's own pyconfig.h says
 * about the things those headers look at: LLP64 type sizes, Py_ssize_t, and that the
 * Python API is imported from a DLL and the module's init function exported. Nothing
 * here describes the interpreter's own build (it is never compiled against this file).
 */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

#if !defined(_WIN64) || !defined(__MINGW32__)
#error "this pyconfig.h is for cross-building with mingw-w64 for 64-bit Windows"
#endif

#define MS_WIN32
#define MS_WIN64
#define MS_WINDOWS
#define NT_THREADS
#define WITH_THREAD

/* The API comes from python3.dll: PyAPI_FUNC/PyAPI_DATA become dllimport and
 * PyMODINIT_FUNC dllexport. */
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL

#include <stdint.h>
#include <limits.h>
typedef long long Py_ssize_t;
#define HAVE_PY_SSIZE_T 1
#define PY_SSIZE_T_MAX LLONG_MAX

#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_DOUBLE 8
#define SIZEOF_FLOAT 4
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_WCHAR_T 2
#define SIZEOF__BOOL 1
#define SIZEOF_FPOS_T 8
#define SIZEOF_HKEY 8
#define SIZEOF_OFF_T 4
#define SIZEOF_PID_T SIZEOF_INT
#define ALIGNOF_SIZE_T 8
#define ALIGNOF_LONG 4
#define ALIGNOF_MAX_ALIGN_T 8

#define HAVE_STDDEF_H 1
#define HAVE_WCHAR_H 1
#define HAVE_LARGEFILE_SUPPORT
#define Py_WIN_WIDE_FILENAMES
#define WORDS_LITTLEENDIAN 1
#define DOUBLE_IS_LITTLE_ENDIAN_IEEE754 1
#define PY_HAVE_THREAD_NATIVE_ID

#endif /* Py_CONFIG_H */
