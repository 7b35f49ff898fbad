#include "harness.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <map>
#include <vector>

namespace torqtest {

namespace {

int g_failures = 0;  // of the running case

struct Case {
    const char* name;
    void (*run)();
};
std::vector<Case>& Cases() {
    static std::vector<Case> cases;
    return cases;
}

std::map<std::string, ChildMain>& Children() {
    static std::map<std::string, ChildMain> children;
    return children;
}

[[noreturn]] void Crash(const char* what, unsigned long code) {
    std::printf("torq-test: CRASH %s 0x%08lx\n", what, code);
    std::fflush(stdout);
    TerminateProcess(GetCurrentProcess(), kCrashExitCode);
    ExitProcess(kCrashExitCode);  // not reached
}

LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* pointers) {
    Crash("unhandled exception", pointers->ExceptionRecord->ExceptionCode);
}

int RunCases() {
    int passed = 0;
    int failed = 0;
    for (const Case& c : Cases()) {
        g_failures = 0;
        try {
            c.run();
        } catch (const Abort&) {
            // already recorded
        } catch (const std::exception& e) {
            Fail("(exception)", 0, e.what());
        }
        std::printf("%s %s\n", g_failures == 0 ? "ok  " : "FAIL", c.name);
        std::fflush(stdout);
        (g_failures == 0 ? passed : failed) += 1;
    }
    std::printf("torq-test: %d passed, %d failed\n", passed, failed);
    return failed == 0 && passed > 0 ? 0 : 1;
}

}  // namespace


bool AddCase(const char* name, void (*run)()) {
    Cases().push_back({name, run});
    return true;
}

bool AddChild(const char* name, ChildMain main) {
    return Children().emplace(name, main).second;
}

void Fail(const char* file, int line, const std::string& what) {
    ++g_failures;
    std::printf("  %s:%d: %s\n", file, line, what.c_str());
    std::fflush(stdout);
}

int RunChild(const char* name, const std::wstring& argument, std::string* output) {
    wchar_t self[MAX_PATH];
    if (GetModuleFileNameW(nullptr, self, MAX_PATH) == 0) {
        return -1;
    }
    // Through the command interpreter, which collects the child's output for us.
    const std::wstring command = L"\"\"" + std::wstring(self) + L"\" --child " +
                                 std::wstring(name, name + std::strlen(name)) + L" " + argument + L"\"";
    FILE* child = _wpopen(command.c_str(), L"rb");
    if (child == nullptr) {
        return -1;
    }
    char chunk[256];
    for (size_t got; (got = std::fread(chunk, 1, sizeof chunk, child)) > 0;) {
        if (output != nullptr) {
            output->append(chunk, got);
        }
    }
    return _pclose(child);
}

}  // namespace torqtest

int main(int argc, char** argv) {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    SetUnhandledExceptionFilter(torqtest::OnUnhandledException);
    std::set_terminate([] { torqtest::Crash("std::terminate", 0); });
    if (argc >= 3 && std::strcmp(argv[1], "--child") == 0) {
        const auto child = torqtest::Children().find(argv[2]);
        const char* argument = argc >= 4 ? argv[3] : "";
        return child == torqtest::Children().end()
                   ? 2
                   : child->second(std::wstring(argument, argument + std::strlen(argument)));
    }
    if (argc >= 2 && std::strcmp(argv[1], "--crash") == 0) {
        // Proves the crash path: the runner must see kCrashExitCode and no summary.
        volatile int* nowhere = nullptr;
        *nowhere = 1;
    }
    return torqtest::RunCases();
}
