#include "platform/text.h"

namespace torq {

namespace {

void AppendCodePoint(std::wstring& out, char32_t cp) {
    if constexpr (sizeof(wchar_t) == 2) {
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<wchar_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<wchar_t>(0xDC00 + (cp & 0x3FF)));
            return;
        }
    }
    out.push_back(static_cast<wchar_t>(cp));
}

void AppendUtf8(std::string& out, char32_t cp) {
    auto byte = [&out](char32_t value) { out.push_back(static_cast<char>(value & 0xFF)); };
    if (cp < 0x80) {
        byte(cp);
    } else if (cp < 0x800) {
        byte(0xC0 | (cp >> 6));
        byte(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        byte(0xE0 | (cp >> 12));
        byte(0x80 | ((cp >> 6) & 0x3F));
        byte(0x80 | (cp & 0x3F));
    } else {
        byte(0xF0 | (cp >> 18));
        byte(0x80 | ((cp >> 12) & 0x3F));
        byte(0x80 | ((cp >> 6) & 0x3F));
        byte(0x80 | (cp & 0x3F));
    }
}

// Decodes the sequence at text[i]; on success returns its code point and advances i
// past it. On failure returns nullopt and advances i past the lead byte only, so a
// lenient caller resynchronises on the next byte.
std::optional<char32_t> DecodeAt(std::string_view text, size_t& i) {
    const auto lead = static_cast<unsigned char>(text[i++]);
    size_t extra = 0;
    char32_t cp = 0;
    char32_t least = 0;  // the smallest code point that needs this many bytes
    if (lead < 0x80) {
        return lead;
    } else if ((lead & 0xE0) == 0xC0) {
        extra = 1, cp = lead & 0x1Fu, least = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        extra = 2, cp = lead & 0x0Fu, least = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        extra = 3, cp = lead & 0x07u, least = 0x10000;
    } else {
        return std::nullopt;
    }
    if (text.size() - i < extra) {
        return std::nullopt;
    }
    for (size_t k = 0; k < extra; ++k) {
        const auto next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xC0) != 0x80) {
            return std::nullopt;
        }
        cp = (cp << 6) | (next & 0x3Fu);
    }
    if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        return std::nullopt;  // overlong, out of range, or a surrogate
    }
    i += extra;
    return cp;
}

}  // namespace

std::optional<std::wstring> Utf8ToWide(std::string_view text) {
    std::wstring out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const std::optional<char32_t> cp = DecodeAt(text, i);
        if (!cp) {
            return std::nullopt;
        }
        AppendCodePoint(out, *cp);
    }
    return out;
}

std::wstring Utf8ToWideLossy(std::string_view text) {
    std::wstring out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        AppendCodePoint(out, DecodeAt(text, i).value_or(U'\uFFFD'));
    }
    return out;
}

std::string WideToUtf8(std::wstring_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        auto cp = static_cast<char32_t>(text[i]);
        if constexpr (sizeof(wchar_t) == 2) {
            if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size()) {
                const auto low = static_cast<char32_t>(text[i + 1]);
                if (low >= 0xDC00 && low <= 0xDFFF) {
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                    ++i;
                }
            }
        }
        if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) {
            cp = 0xFFFD;  // a lone surrogate or a value no code point has
        }
        AppendUtf8(out, cp);
    }
    return out;
}

std::u16string WideToUtf16(std::wstring_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (const wchar_t c : text) {
        auto cp = static_cast<char32_t>(c);
        if constexpr (sizeof(wchar_t) == 4) {
            if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) {
                cp = 0xFFFD;
            } else if (cp >= 0x10000) {
                cp -= 0x10000;
                out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
                cp = 0xDC00 + (cp & 0x3FF);
            }
        }
        out.push_back(static_cast<char16_t>(cp));
    }
    return out;
}

}  // namespace torq
