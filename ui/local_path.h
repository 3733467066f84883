// File paths between the window's wide strings and the OS.
#pragma once

#include <string>

namespace vantor {

// The path as the OS takes it (Linux: the locale's multibyte form).
std::string ToLocalPath(const std::wstring& path);
// A path or argument from the OS as a wide string.
std::wstring FromLocalPath(const std::string& path);
// Wide text in the locale's multibyte form, for a terminal.
inline std::string ToTerminal(const std::wstring& text) { return ToLocalPath(text); }

}  // namespace vantor
