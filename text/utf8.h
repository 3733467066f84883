// UTF-8: encoding a character, checking a sequence, and wide text as UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vantor::text {

// Appends the UTF-8 form of code (at most U+10FFFF) to *out.
void AppendUtf8(std::string* out, std::uint32_t code);

// The length of the valid UTF-8 sequence at p[0..n) (n > 0), 0 when there
// is none: no overlong forms, no surrogates, nothing above U+10FFFF.
std::size_t Utf8Sequence(const unsigned char* p, std::size_t n);

// Wide text as UTF-8 (a surrogate pair is one character where wchar_t is
// 16 bits); a byte kept from a path as U+DC80 + b (see locale_text.h)
// becomes the character of that code, any other lone surrogate U+FFFD, so
// the result is always valid UTF-8.
std::string Utf8(const std::wstring& text);

}  // namespace vantor::text
