// The OS services, and the single-instance guard across processes. This program links
// the module's guard (CMyGlobals, set up before main); its console printer is the
// test's, which also keeps what was printed, since the module's own lives beside
// BuildEx and needs python3.dll.
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <string>

#include "harness.h"
#include "module/console.h"
#include "platform/os.h"

namespace {

std::string& Printed() {
    static std::string printed;  // used by CMyGlobals before main: made on first use
    return printed;
}

constexpr char kAlreadyRunning[] = "Kavro Engine already running!";

// Exit codes of the "acquire" child.
constexpr int kAcquired = 10;
constexpr int kAlreadyHeld = 11;

int AcquireChild(const std::wstring& name) {
    torq::NamedGuard guard;
    return guard.Acquire(name.c_str()) ? kAcquired : kAlreadyHeld;
}
TORQ_CHILD("acquire", AcquireChild);

// A second process with the library loaded: its guard prints, and that is all.
int LoadedChild(const std::wstring&) {
    std::fputs(Printed().c_str(), stdout);
    return 0;
}
TORQ_CHILD("loaded", LoadedChild);

std::wstring GuardName(const wchar_t* what) {
    return L"torqpanel-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" + what;
}

}  // namespace

namespace torq {
void ConsolePrint(const char* format, ...) {
    char line[512];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    Printed() += line;
}
}  // namespace torq

TORQ_TEST(the_second_process_to_load_prints_the_guard_line_and_the_first_does_not) {
    // This process loaded first (nothing else of ours runs in this Wine prefix).
    CHECK_EQ(Printed(), std::string());
    std::string output;
    CHECK_EQ(torqtest::RunChild("loaded", L"", &output), 0);
    CHECK_EQ(output, std::string(kAlreadyRunning));
}

TORQ_TEST(a_guard_is_seen_by_other_processes_until_released) {
    const std::wstring name = GuardName(L"release");
    torq::NamedGuard first;
    CHECK(first.Acquire(name.c_str()));
    CHECK_EQ(torqtest::RunChild("acquire", name, nullptr), kAlreadyHeld);
    first.Release();
    CHECK_EQ(torqtest::RunChild("acquire", name, nullptr), kAcquired);
}

TORQ_TEST(a_guard_that_found_the_name_taken_still_holds_it) {
    const std::wstring name = GuardName(L"held");
    torq::NamedGuard first;
    torq::NamedGuard second;
    CHECK(first.Acquire(name.c_str()));
    CHECK(!second.Acquire(name.c_str()));
    first.Release();
    // The second one's handle keeps the name alive for everyone else.
    CHECK_EQ(torqtest::RunChild("acquire", name, nullptr), kAlreadyHeld);
    second.Release();
    CHECK_EQ(torqtest::RunChild("acquire", name, nullptr), kAcquired);
}

TORQ_TEST(narrow_text_becomes_wide_with_the_ansi_code_page) {
    CHECK_EQ(torq::NarrowToWide("A1B2"), std::wstring(L"A1B2"));
    CHECK_EQ(torq::NarrowToWide(""), std::wstring());
    CHECK_EQ(torq::NarrowToWide(nullptr), std::wstring());
    // A byte of the upper half is one character in any single-byte code page, and one
    // replacement character where it is not valid on its own.
    CHECK_EQ(torq::NarrowToWide("\xE9").size(), 1u);
}
