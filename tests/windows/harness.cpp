#include "harness.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <map>

namespace torqtest {

namespace {

int g_failures = 0;  // of the running case

std::map<std::string, ChildMain>& Children() {
    static std::map<std::string, ChildMain> children;
    return children;
}

[[noreturn]] void Crash(const char* what, unsigned long code) {
    std::fprintf(stdout, "torq-test: CRASH %s 0x%08lx\n", what, code);
    std::fflush(stdout);
    TerminateProcess(GetCurrentProcess(), kCrashExitCode);
    ExitProcess(kCrashExitCode);  // not reached
}

LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* pointers) {
    Crash("unhandled exception", pointers != nullptr && pointers->ExceptionRecord != nullptr
                                     ? pointers->ExceptionRecord->ExceptionCode
                                     : 0ul);
}

void OnTerminate() {
    Crash("std::terminate", 0);
}

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) {
        if (c >= 0x20 && c < 0x7F) {
            out.push_back(static_cast<char>(c));
        } else {
            char escaped[16];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
            out += escaped;
        }
    }
    return out;
}

int RunCases(const char* only) {
    int passed = 0;
    int failed = 0;
    for (const Case& c : Cases()) {
        if (only != nullptr && std::strcmp(only, c.name) != 0) {
            continue;
        }
        g_failures = 0;
        const DWORD start = GetTickCount();
        try {
            c.run();
        } catch (const Abort&) {
            // already recorded
        } catch (const std::exception& e) {
            Fail("(exception)", 0, e.what());
        } catch (...) {
            Fail("(exception)", 0, "unknown exception");
        }
        const DWORD elapsed = GetTickCount() - start;
        std::fprintf(stdout, "%s %s (%lu ms)\n", g_failures == 0 ? "ok  " : "FAIL", c.name, elapsed);
        std::fflush(stdout);
        (g_failures == 0 ? passed : failed) += 1;
    }
    std::fprintf(stdout, "torq-test: %d passed, %d failed\n", passed, failed);
    std::fflush(stdout);
    return failed == 0 && passed > 0 ? 0 : 1;
}

}  // namespace

std::vector<Case>& Cases() {
    static std::vector<Case> cases;
    return cases;
}

ChildRegistrar::ChildRegistrar(const char* name, ChildMain main) {
    Children()[name] = main;
}

void Fail(const char* file, int line, const std::string& what) {
    ++g_failures;
    std::fprintf(stdout, "  %s:%d: %s\n", file, line, what.c_str());
    std::fflush(stdout);
}

std::string Show(long long value) {
    return std::to_string(value);
}
std::string Show(unsigned long long value) {
    char text[32];
    std::snprintf(text, sizeof text, "%llu (0x%llx)", value, value);
    return text;
}
std::string Show(const std::wstring& value) {
    return "L\"" + Narrow(value) + "\"";
}
std::string Show(const std::string& value) {
    return "\"" + value + "\"";
}

bool WaitUntilImpl(bool (*poll)(void*), void* context, unsigned timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (!poll(context)) {
        if (GetTickCount64() >= deadline) {
            return poll(context);
        }
        Sleep(1);
    }
    return true;
}

int RunChild(const char* name, const std::wstring& argument, std::string* output) {
    wchar_t self[MAX_PATH];
    if (GetModuleFileNameW(nullptr, self, MAX_PATH) == 0) {
        return -1;
    }
    std::wstring command = L"\"" + std::wstring(self) + L"\" --child ";
    for (const char* p = name; *p != '\0'; ++p) {
        command.push_back(static_cast<wchar_t>(*p));
    }
    command += L" " + argument;

    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) {
        return -1;
    }
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = writeEnd;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process{};
    const BOOL started = CreateProcessW(self, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                        nullptr, &startup, &process);
    CloseHandle(writeEnd);
    if (!started) {
        CloseHandle(readEnd);
        return -1;
    }
    char chunk[256];
    DWORD got = 0;
    while (ReadFile(readEnd, chunk, sizeof chunk, &got, nullptr) && got > 0) {
        if (output != nullptr) {
            output->append(chunk, got);
        }
    }
    CloseHandle(readEnd);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<int>(code);
}

}  // namespace torqtest

int main(int argc, char** argv) {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    SetUnhandledExceptionFilter(torqtest::OnUnhandledException);
    std::set_terminate(torqtest::OnTerminate);

    if (argc >= 3 && std::strcmp(argv[1], "--child") == 0) {
        const auto child = torqtest::Children().find(argv[2]);
        if (child == torqtest::Children().end()) {
            return 2;
        }
        std::wstring argument;
        for (const char* p = argc >= 4 ? argv[3] : ""; *p != '\0'; ++p) {
            argument.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*p)));
        }
        return child->second(argument);
    }
    if (argc >= 2 && std::strcmp(argv[1], "--crash") == 0) {
        // Proves the crash path: the runner must see kCrashExitCode and no summary.
        volatile int* nowhere = nullptr;
        *nowhere = 1;
    }
    return torqtest::RunCases(argc >= 2 ? argv[1] : nullptr);
}
