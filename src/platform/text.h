// UTF-8 and wide text (UTF-32 wchar_t on Linux, UTF-16 on Windows), independent of the
// locale.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace torq {

// Strict: nullopt for anything that is not well-formed UTF-8.
std::optional<std::wstring> Utf8ToWide(std::string_view text);
// Lenient: every malformed sequence becomes U+FFFD.
std::wstring Utf8ToWideLossy(std::string_view text);
// Lone surrogates and values beyond U+10FFFF become U+FFFD.
std::string WideToUtf8(std::wstring_view text);
// UTF-16 code units: Windows' wide text as it is; on Linux, code points above U+FFFF
// become surrogate pairs, and lone surrogates and values beyond U+10FFFF U+FFFD.
std::u16string WideToUtf16(std::wstring_view text);

}  // namespace torq
