// Wide text as a quoted ASCII string: anything but printable ASCII, and the quote and the
// backslash, as \uXXXX, which JSON reads and a person can.
#pragma once

#include <cstdio>
#include <string>

inline std::string Quote(const std::wstring& text) {
    std::string out = "\"";
    for (const wchar_t c : text) {
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c) & 0xFFFFu);
        out += c >= 0x20 && c < 0x7F && c != L'"' && c != L'\\' ? std::string(1, static_cast<char>(c)) : escaped;
    }
    return out + "\"";
}
