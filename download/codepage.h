// Conversion between wide text and the system ANSI code page.
//
// The ANSI code page is the charset named by the environment variable
// VANTOR_CODEPAGE when it is set and not empty (e.g. "CP1252"), else the
// charset of the current locale. Programs call setlocale(LC_ALL, "")
// themselves; nothing here changes the locale. On Windows it is CP_ACP.
//
// All functions are safe to call from several threads at once.
#pragma once

#include <cstddef>
#include <string>

namespace vantor::download {

// Name of the charset conversions use right now.
std::string AnsiCharset();

// False when the charset in force cannot be converted to and from (an
// unknown VANTOR_CODEPAGE); conversions then keep ASCII only.
bool AnsiCharsetKnown();

// Text in the ANSI code page. A character that cannot be converted becomes
// one '?'. Never fails and never throws on bad input.
std::string ToAnsi(const std::wstring& text);

// Wide text from n bytes in the ANSI code page. The text ends at the first
// NUL among the n bytes. A byte that does not start a valid sequence becomes
// the character of the same code (0x80-0xFF -> U+0080-U+00FF).
std::wstring FromAnsi(const char* bytes, std::size_t n);

// How many of the n bytes a text in bytes takes: it ends at the first NUL.
std::size_t TextLength(const char* bytes, std::size_t n);

}  // namespace vantor::download
