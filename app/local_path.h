// File paths between the window's wide strings and the OS.
#pragma once

#include <string>

namespace vantor {

// The path as the OS takes it (Linux: the locale's multibyte form).
std::string ToLocalPath(const std::wstring& path);
// A path or argument from the OS as a wide string. On Linux a path is a
// byte string: a byte that is not valid in the locale becomes U+DC80 plus
// its value, which ToLocalPath turns back into the same byte, so every
// path reaches the OS as it came.
std::wstring FromLocalPath(const std::string& path);
// The path as it is shown and as its name is sent to the reader: each byte
// kept by FromLocalPath as U+DC80 + b is the character of the same code b.
std::wstring ShownPath(const std::wstring& path);
// Wide text in the locale's multibyte form, for a terminal.
inline std::string ToTerminal(const std::wstring& text) { return ToLocalPath(text); }

}  // namespace vantor
