// The cross-built module itself, loaded under Wine next to a stand-in python3.dll
// (python3_stub.cpp): it must load with its dependencies resolved, run its guard, and
// refuse politely when no interpreter is running.
#include <windows.h>

#include <string>

#include "harness.h"
#include "loaded_module.h"

// A process that loads the module and ends; what the module prints is its output.
static int LoadChild(const std::wstring&) {
    return LoadModule() ? 0 : static_cast<int>(GetLastError());
}
TORQ_CHILD(LoadChild);

static std::string LoadInAnotherProcess() {
    const auto [code, output] = torqtest::RunChild(L"");
    CHECK_EQ(code, 0);
    return output;
}

TEST_CASE("the module's init refuses without an interpreter; only a second process prints the guard line") {
    // Alone, a process that loads the module prints nothing.
    CHECK_EQ(LoadInAnotherProcess(), std::string());
    {
        const LoadedModule module = LoadModule();
        REQUIRE(module != nullptr);
        const auto init = reinterpret_cast<void* (*)()>(
            reinterpret_cast<void*>(GetProcAddress(module.get(), "PyInit_torqpanel")));
        REQUIRE((init != nullptr));
        CHECK(init() == nullptr);
        CHECK_EQ(LoadInAnotherProcess(), std::string("Kavro Engine already running!"));
    }
    CHECK_EQ(LoadInAnotherProcess(), std::string());  // unloading released the name
}
