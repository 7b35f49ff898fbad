// A small runner for the Windows test programs, which run under Wine on Linux CI.
//
// A program prints one line per case and closes with the summary line
//     torq-test: <passed> passed, <failed> failed
// and exits 0 only when nothing failed. A crash ends the program with kCrashExitCode
// and no summary: under Wine an unhandled exception can end a process with code 0 or
// 5, so the runner script believes a program only when both agree.
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

namespace torqtest {

inline constexpr int kCrashExitCode = 86;

struct Case {
    const char* name;
    void (*run)();
};
std::vector<Case>& Cases();

struct Registrar {
    Registrar(const char* name, void (*run)()) { Cases().push_back({name, run}); }
};

// A second process of the same program: `name` is called when the program is started
// with "--child <name> [argument]", and its result is the process's exit code.
using ChildMain = int (*)(const std::wstring& argument);
struct ChildRegistrar {
    ChildRegistrar(const char* name, ChildMain main);
};

// Records a failure of the running case.
void Fail(const char* file, int line, const std::string& what);
// Thrown by REQUIRE to end the running case.
struct Abort {};

std::string Show(long long value);
std::string Show(unsigned long long value);
std::string Show(const std::wstring& value);
std::string Show(const std::string& value);
template <class T>
std::string ShowValue(const T& value) {
    if constexpr (std::is_convertible_v<const T&, std::wstring> || std::is_convertible_v<const T&, std::string>) {
        return Show(value);
    } else if constexpr (std::is_signed_v<T> || std::is_enum_v<T>) {
        return Show(static_cast<long long>(value));
    } else {
        return Show(static_cast<unsigned long long>(value));
    }
}

template <class A, class B>
bool CheckEqual(const A& actual, const B& expected, const char* text, const char* file, int line) {
    if (actual == expected) {
        return true;
    }
    Fail(file, line, std::string(text) + ": got " + ShowValue(actual) + ", expected " + ShowValue(expected));
    return false;
}

// Starts this program again as "--child <name> <argument>"; returns its exit code and
// what it wrote on standard output, or -1 when it could not be started.
int RunChild(const char* name, const std::wstring& argument, std::string* output);

bool WaitUntilImpl(bool (*poll)(void*), void* context, unsigned timeoutMs);
// Polls `done` every millisecond until it holds or `timeoutMs` have passed.
template <class Done>
bool WaitUntil(Done done, unsigned timeoutMs) {
    return WaitUntilImpl([](void* c) { return (*static_cast<Done*>(c))(); }, &done, timeoutMs);
}

}  // namespace torqtest

#define TORQ_CONCAT2(a, b) a##b
#define TORQ_CONCAT(a, b) TORQ_CONCAT2(a, b)

#define TORQ_TEST(name)                                                          \
    static void name();                                                          \
    static const ::torqtest::Registrar TORQ_CONCAT(name, _registrar)(#name, name); \
    static void name()

#define TORQ_CHILD(name, function) \
    static const ::torqtest::ChildRegistrar TORQ_CONCAT(function, _child)(name, function)

#define CHECK(condition)                                           \
    do {                                                           \
        if (!(condition)) {                                        \
            ::torqtest::Fail(__FILE__, __LINE__, #condition);      \
        }                                                          \
    } while (false)

#define REQUIRE(condition)                                         \
    do {                                                           \
        if (!(condition)) {                                        \
            ::torqtest::Fail(__FILE__, __LINE__, #condition);      \
            throw ::torqtest::Abort{};                             \
        }                                                          \
    } while (false)

#define CHECK_EQ(actual, expected) \
    ::torqtest::CheckEqual((actual), (expected), #actual " == " #expected, __FILE__, __LINE__)

#define REQUIRE_EQ(actual, expected)                                                        \
    do {                                                                                    \
        if (!::torqtest::CheckEqual((actual), (expected), #actual " == " #expected, __FILE__, \
                                    __LINE__)) {                                            \
            throw ::torqtest::Abort{};                                                      \
        }                                                                                   \
    } while (false)
