// The cross-built module, loaded from where it lies in the build tree (two folders above
// the Windows test programs) beside its stand-in python3.dll; freed when it goes.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <type_traits>

using LoadedModule = std::unique_ptr<std::remove_pointer_t<HMODULE>, decltype(&FreeLibrary)>;

inline LoadedModule LoadModule() {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path(self);
    for (int up = 0; up < 3; ++up) {
        path.resize(path.find_last_of(L'\\'));
    }
    return {LoadLibraryExW((path + L"\\torqpanel.pyd").c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH), &FreeLibrary};
}
