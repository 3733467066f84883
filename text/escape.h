// Text made safe for a terminal.
#pragma once

#include <string>

namespace vantor::text {

// The one rule for everything shown on a terminal: a path, a name or a
// text from a file, the reader or the history, with the characters that
// could drive the terminal or reorder the line (C0, DEL, C1 and the
// bidirectional controls U+061C, U+200E, U+200F, U+202A-U+202E,
// U+2066-U+2069) escaped as \x1b or \u202e, and each byte that is not
// valid UTF-8 (a Linux name is bytes) as \xff. Other text is kept; wide
// text comes out in the terminal's form (see locale_text.h).
std::string Shown(const std::string& text);
std::string Shown(const std::wstring& text);
// The pane's text for the terminal: CR LF becomes LF, then Shown but for
// the line breaks.
std::string ShownPane(const std::wstring& pane);
// A bad line for the terminal: at most about 80 characters, then "...";
// control characters, characters above U+007E (one \uXXXX per UTF-16 unit)
// and the backslash escaped, so the line can neither drive the terminal
// nor be cut short by a NUL.
std::string EchoLine(const std::wstring& text);

}  // namespace vantor::text
