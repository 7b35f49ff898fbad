#include "module/console.h"

#include <cstdarg>
#include <cstdio>
#include <new>
#include <string>

namespace torq {

void ConsolePrint(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stdout, format, arguments);
    va_end(arguments);
    std::fflush(stdout);
}

}  // namespace torq

namespace {

constexpr size_t kWorkingBufferSize = 256;

// The error text lives from the first BuildEx to the end of the process. Callers hold
// the interpreter lock, which keeps two compositions apart.
std::string& ErrorText() {
    static std::string text;
    return text;
}

}  // namespace

extern "C" PyObject* BuildEx(const char* message, int code, const char* function,
                             const char* detail1, const char* detail2, const char* detail3) {
    std::string& text = ErrorText();
    text.clear();
    const char* shown = "Unknown error occurred.";
    try {
        // snprintf cuts a longer composition at 255 characters; nothing is written
        // beyond either buffer.
        char first[kWorkingBufferSize];
        std::snprintf(first, sizeof first, "%s #%d\n", message != nullptr ? message : "", code);
        text = first;

        const char* formats[] = {"%s F:%s\n", "%s P1:%s\n", "%s P2:%s\n", "%s P3:%s\n"};
        const char* extras[] = {function, detail1, detail2, detail3};
        for (size_t i = 0; i < 4; ++i) {
            if (extras[i] != nullptr) {
                char second[kWorkingBufferSize];
                std::snprintf(second, sizeof second, formats[i], text.c_str(), extras[i]);
                text = second;
                break;
            }
        }
        shown = text.c_str();
    } catch (const std::bad_alloc&) {
        // Out of memory: the fixed text stands in, and nothing more is allocated.
        text.clear();
    }
    torq::ConsolePrint("Error %s\n", shown);
    Py_INCREF(Py_False);
    return Py_False;
}
