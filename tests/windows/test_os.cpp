// The OS services on Windows: the named guard across processes, and narrow-to-wide
// text. (The module's own use of the guard is tested by test_module.cpp.)
#include <windows.h>

#include <string>

#include "harness.h"
#include "platform/os.h"

namespace {

// Exit codes of the "acquire" child.
constexpr int kAcquired = 10;
constexpr int kAlreadyHeld = 11;

int AcquireChild(const std::wstring& name) {
    torq::NamedGuard guard;
    return guard.Acquire(name.c_str()) ? kAcquired : kAlreadyHeld;
}
TORQ_CHILD("acquire", AcquireChild);

std::wstring GuardName(const wchar_t* what) {
    return L"torqpanel-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" + what;
}

}  // namespace

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
