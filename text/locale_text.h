// Wide text and the byte strings of the OS and the terminal: on Linux the
// locale's multibyte form, on Windows UTF-8.
#pragma once

#include <string>

namespace vantor::text {

// A Linux name is bytes: one that is not valid in the locale is kept in
// wide text as U+DC80 + its value (U+DC80..U+DCFF), which ToLocal turns
// back into the same byte.
constexpr wchar_t kByteEscape = 0xDC00;
inline bool IsByteEscape(wchar_t c) { return c >= kByteEscape + 0x80 && c <= kByteEscape + 0xFF; }

// Wide text as the OS takes it. Linux: the locale's multibyte form, a kept
// byte as itself and a character the locale lacks as '?'. Windows: UTF-8.
std::string ToLocal(const std::wstring& text);
// Bytes from the OS as wide text. Linux: by the locale, each byte that is
// not valid in it kept (see kByteEscape). Windows: UTF-8, or when the bytes
// are not UTF-8 each byte as its own character.
std::wstring FromLocal(const std::string& bytes);

}  // namespace vantor::text
