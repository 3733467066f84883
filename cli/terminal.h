// What vantor writes: texts made safe for a terminal, text for JSON, and
// whether stdout took everything.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace vantor::cli {

// The one rule for everything vantor shows on a terminal: a path, a name
// or a text from a file, the reader or the history, with the characters
// that could drive the terminal or reorder the line (C0, DEL, C1 and the
// bidirectional controls U+061C, U+200E, U+200F, U+202A-U+202E,
// U+2066-U+2069) escaped as \x1b or \u202e, and each byte that is not
// valid UTF-8 (a Linux name is bytes) as \xff. Other text is kept.
std::string Shown(const std::string& text);
std::string Shown(const std::wstring& text);
// The pane's text for the terminal: CR LF becomes LF, then Shown but for
// the line breaks.
std::string ShownPane(const std::wstring& pane);
// A bad line for the terminal: at most about 80 characters, then "...";
// control characters, bytes above 0x7E and the backslash escaped, so the
// line can neither drive the terminal nor be cut short by a NUL.
std::string EchoLine(const std::wstring& text);

// Wide text as UTF-8; a byte kept from a path as U+DC80 + b (see
// local_path.h) and any other lone surrogate become the character of that
// code, so the result is always valid UTF-8.
std::string Utf8(const std::wstring& text);
// Sets object[key] to bytes as a JSON string. Bytes that are not UTF-8
// are read as Latin-1 (a byte b becomes U+00b), and the raw bytes are
// added in hex as object["raw"][key], so nothing is lost.
void PutText(nlohmann::json& object, const std::string& key, const std::string& bytes);
// JSON text of value, never failing on any string.
std::string Dump(const nlohmann::json& value);

// Makes writes to a closed pipe fail with EPIPE instead of ending the
// process, for commands that must finish what they started.
void KeepRunningOnClosedPipe();
// At the end of a command: stdout flushed and closed; if anything written
// to it was lost, "vantor: writing output failed: REASON" and exit code 1
// in place of code (when code was 0).
int FinishOutput(int code);

}  // namespace vantor::cli
