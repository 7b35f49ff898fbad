// The OS services on Windows: the named guard across processes, and narrow-to-wide
// text. (test_module.cpp shows the guard seen by another process until released.)
#include <windows.h>

#include <string>

#include "harness.h"
#include "platform/os.h"

// Exit codes of the child.
constexpr int kAcquired = 10;
constexpr int kAlreadyHeld = 11;

static int AcquireChild(const std::wstring& name) {
    torq::NamedGuard guard;
    return guard.Acquire(name.c_str()) ? kAcquired : kAlreadyHeld;
}
TORQ_CHILD(AcquireChild);

TEST_CASE("a guard that found the name taken still holds it") {
    const std::wstring name = L"torqpanel-test-" + std::to_wstring(GetCurrentProcessId()) + L"-held";
    torq::NamedGuard first;
    torq::NamedGuard second;
    CHECK(first.Acquire(name.c_str()));
    CHECK(!second.Acquire(name.c_str()));
    first.Release();
    // The second one's handle keeps the name alive for everyone else.
    CHECK_EQ(torqtest::RunChild(name).first, kAlreadyHeld);
    second.Release();
    CHECK_EQ(torqtest::RunChild(name).first, kAcquired);
}

TEST_CASE("narrow text becomes wide with the ansi code page") {
    CHECK(torq::NarrowToWide(nullptr).empty());
    // UTF-8's two bytes for "e acute" are two characters of a single-byte code page (Wine's 1252).
    CHECK_EQ(torq::NarrowToWide("\xC3\xA9").size(), GetACP() == CP_UTF8 ? 1u : 2u);
}
