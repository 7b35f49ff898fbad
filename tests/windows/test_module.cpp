// The cross-built module itself, loaded under Wine next to a stand-in python3.dll
// (python3_stub.cpp): it must load with its dependencies resolved, run its guard, and
// refuse politely when no interpreter is running.
#include <windows.h>

#include <string>

#include "harness.h"

namespace {

constexpr char kAlreadyRunning[] = "Kavro Engine already running!";

// The module sits two folders above this program in the build tree.
std::wstring ModulePath() {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path(self);
    for (int up = 0; up < 3; ++up) {
        path.resize(path.find_last_of(L'\\'));
    }
    return path + L"\\torqpanel.pyd";
}

class LoadedModule {
public:
    LoadedModule()
        : module_(LoadLibraryExW(ModulePath().c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH)),
          error_(module_ != nullptr ? ERROR_SUCCESS : GetLastError()) {}
    ~LoadedModule() { Unload(); }
    LoadedModule(const LoadedModule&) = delete;
    LoadedModule& operator=(const LoadedModule&) = delete;

    HMODULE get() const { return module_; }
    DWORD error() const { return error_; }
    void Unload() {
        if (module_ != nullptr) {
            FreeLibrary(module_);
            module_ = nullptr;
        }
    }

private:
    HMODULE module_;
    DWORD error_;
};

// A process that loads the module and ends; what the module prints is its output.
int LoadChild(const std::wstring&) {
    LoadedModule module;
    return module.get() != nullptr ? 0 : static_cast<int>(module.error());
}
TORQ_CHILD("load", LoadChild);

std::string LoadInAnotherProcess() {
    std::string output;
    CHECK_EQ(torqtest::RunChild("load", L"", &output), 0);
    return output;
}

}  // namespace

TORQ_TEST(the_module_loads_and_its_init_refuses_without_an_interpreter) {
    LoadedModule module;
    REQUIRE_EQ(module.error(), 0ul);
    REQUIRE(module.get() != nullptr);
    using InitFunction = void* (*)();
    const auto init = reinterpret_cast<InitFunction>(
        reinterpret_cast<void*>(GetProcAddress(module.get(), "PyInit_torqpanel")));
    REQUIRE(init != nullptr);
    CHECK(init() == nullptr);
}

TORQ_TEST(only_a_second_process_with_the_module_loaded_prints_the_guard_line) {
    // Alone, a process that loads the module prints nothing.
    CHECK_EQ(LoadInAnotherProcess(), std::string());
    {
        LoadedModule module;
        REQUIRE(module.get() != nullptr);
        CHECK_EQ(LoadInAnotherProcess(), std::string(kAlreadyRunning));
    }
    // Unloading released the name.
    CHECK_EQ(LoadInAnotherProcess(), std::string());
}
