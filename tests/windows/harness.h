// The runner of each Windows test program (doctest, from Debian's doctest-dev), which
// .ci/windows runs under Wine; each program includes this once.
//
// A crash ends the program with kCrashExitCode and no doctest summary: under Wine an
// unhandled exception can end a process with code 0 or 5, so the runner script believes
// a program only when both agree. "--crash" proves that path.
#pragma once

#define DOCTEST_CONFIG_IMPLEMENT
#include <doctest.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <utility>

namespace torqtest {

inline constexpr int kCrashExitCode = 86;

// A second process of the program, run when it is started as "--child [ARGUMENT]"; its
// result is the process's exit code.
using ChildMain = int (*)(const std::wstring& argument);
inline ChildMain childMain = nullptr;

// Starts this program again as "--child ARGUMENT"; returns its exit code (-1 when it
// could not be started) and what it wrote on standard output.
inline std::pair<int, std::string> RunChild(const std::wstring& argument) {
    wchar_t self[MAX_PATH];
    // Through the command interpreter, which collects the child's output for us.
    FILE* child = GetModuleFileNameW(nullptr, self, MAX_PATH) == 0 ? nullptr
        : _wpopen((L"\"\"" + std::wstring(self) + L"\" --child " + argument + L"\"").c_str(), L"rb");
    if (child == nullptr) {
        return {-1, ""};
    }
    std::string output;
    char chunk[256];
    for (size_t got; (got = std::fread(chunk, 1, sizeof chunk, child)) > 0;) {
        output.append(chunk, got);
    }
    return {_pclose(child), output};
}

[[noreturn]] inline void Crash(const char* what, unsigned long code) {
    std::printf("torq-test: CRASH %s 0x%08lx\n", what, code);
    std::fflush(stdout);
    TerminateProcess(GetCurrentProcess(), kCrashExitCode);
    ExitProcess(kCrashExitCode);  // not reached
}

}  // namespace torqtest

#define TORQ_CHILD(function) \
    [[maybe_unused]] static const bool function##_child = (torqtest::childMain = function) != nullptr

int main(int argc, char** argv) {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    SetUnhandledExceptionFilter([](EXCEPTION_POINTERS* pointers) -> LONG {
        torqtest::Crash("unhandled exception", pointers->ExceptionRecord->ExceptionCode);
    });
    std::set_terminate([] { torqtest::Crash("std::terminate", 0); });
    if (argc >= 2 && std::strcmp(argv[1], "--child") == 0 && torqtest::childMain != nullptr) {
        const std::string argument = argc >= 3 ? argv[2] : "";
        return torqtest::childMain(std::wstring(argument.begin(), argument.end()));
    }
    if (argc >= 2 && std::strcmp(argv[1], "--crash") == 0) {
        volatile int* nowhere = nullptr;
        *nowhere = 1;
    }
    return doctest::Context(argc, argv).run();  // no colours in a file
}
