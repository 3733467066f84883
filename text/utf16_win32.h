// Windows: byte strings of a code page and UTF-16, through
// MultiByteToWideChar and WideCharToMultiByte.
#pragma once

#include <string>
#include <string_view>

namespace vantor::text {

// The code pages the tool converts: the system's ANSI code page (CP_ACP)
// and UTF-8 (CP_UTF8).
enum class CodePage : unsigned { kAnsi = 0, kUtf8 = 65001 };

// The bytes as UTF-16. With strict (MB_ERR_INVALID_CHARS) a sequence that
// is invalid in the code page fails the whole conversion; without it, it is
// replaced. false with *out empty when the conversion fails; no bytes give
// "" and true.
bool ToUtf16(std::string_view bytes, CodePage page, bool strict, std::wstring* out);
// UTF-16 text in the code page: a character the code page lacks becomes its
// default character, a lone surrogate U+FFFD in UTF-8. false with *out
// empty when the conversion fails; no text gives "" and true.
bool FromUtf16(std::wstring_view text, CodePage page, std::string* out);

// UTF-8 as UTF-16, invalid sequences replaced; "" when that fails.
std::wstring Utf16FromUtf8(std::string_view utf8);
// UTF-16 as UTF-8; "" when that fails.
std::string Utf8FromUtf16(std::wstring_view text);

}  // namespace vantor::text
