// A small runner for the Windows test programs, which run under Wine on Linux CI.
//
// A program prints one line per case and closes with the summary line
//     torq-test: <passed> passed, <failed> failed
// and exits 0 only when nothing failed. A crash ends the program with kCrashExitCode
// and no summary: under Wine an unhandled exception can end a process with code 0 or
// 5, so the runner script believes a program only when both agree.
#pragma once

#include <chrono>
#include <string>
#include <thread>
#include <type_traits>

#include "quote.h"

namespace torqtest {

inline constexpr int kCrashExitCode = 86;

// Registers a case; the cases run in the order they were registered.
bool AddCase(const char* name, void (*run)());

// A second process of the same program: `main` runs when the program is started with
// "--child <name> [argument]", and its result is the process's exit code.
using ChildMain = int (*)(const std::wstring& argument);
bool AddChild(const char* name, ChildMain main);

// Records a failure of the running case.
void Fail(const char* file, int line, const std::string& what);
// Thrown by REQUIRE to end the running case.
struct Abort {};

inline std::string Show(const std::wstring& value) {
    return Quote(value);
}
inline std::string Show(const std::string& value) {
    return "\"" + value + "\"";
}
template <class T>
    requires(std::is_arithmetic_v<T> || std::is_enum_v<T>)
std::string Show(const T& value) {
    return std::to_string(static_cast<long long>(value));
}

template <class A, class B>
void CheckEqual(const A& actual, const B& expected, const char* text, const char* file, int line) {
    if (!(actual == expected)) {
        Fail(file, line, std::string(text) + ": got " + Show(actual) + ", expected " + Show(expected));
    }
}

// Starts this program again as "--child <name> <argument>"; returns its exit code and
// what it wrote on standard output, or -1 when it could not be started.
int RunChild(const char* name, const std::wstring& argument, std::string* output);

// Polls `done` every millisecond until it holds or `timeoutMs` have passed.
template <class Done>
bool WaitUntil(Done done, unsigned timeoutMs) {
    for (unsigned waited = 0; !done(); ++waited) {
        if (waited >= timeoutMs) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace torqtest

#define TORQ_CONCAT2(a, b) a##b
#define TORQ_CONCAT(a, b) TORQ_CONCAT2(a, b)

#define TORQ_TEST(name)                                                                           \
    static void name();                                                                           \
    [[maybe_unused]] static const bool TORQ_CONCAT(name, _registered) = ::torqtest::AddCase(#name, name); \
    static void name()

#define TORQ_CHILD(name, function) \
    [[maybe_unused]] static const bool TORQ_CONCAT(function, _child) = ::torqtest::AddChild(name, function)

#define CHECK(condition)                                      \
    do {                                                      \
        if (!(condition)) {                                   \
            ::torqtest::Fail(__FILE__, __LINE__, #condition); \
        }                                                     \
    } while (false)

#define REQUIRE(condition)                                    \
    do {                                                      \
        if (!(condition)) {                                   \
            ::torqtest::Fail(__FILE__, __LINE__, #condition); \
            throw ::torqtest::Abort{};                        \
        }                                                     \
    } while (false)

#define CHECK_EQ(actual, expected) \
    ::torqtest::CheckEqual((actual), (expected), #actual " == " #expected, __FILE__, __LINE__)
