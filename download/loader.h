// Loading the download file into a table of checked lines.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "text_file.h"

namespace vantor::download {

// Stored lines by their line number, counted from 1 over non-empty lines.
using LineTable = std::map<std::uint32_t, std::wstring>;

// Longest non-comment line, in bytes of its ANSI form.
constexpr std::size_t kMaxLineBytes = 521;
// Most bytes one data line may send in mode 0.
constexpr std::size_t kMaxMode0Bytes = 255;
// Longest file name, in bytes of its ANSI form, the reader is given.
constexpr std::size_t kMaxNameBytes = 255;

struct LineError {
  std::uint32_t number = 0;        // shown in the message: the line's number minus one
  std::uint32_t physicalLine = 0;  // physical line in the file, 1-based
  std::wstring text;               // the line as trimmed, case kept (at most kMaxHeldLine)
};

// "File <number> Line Error,Please Check!"
std::wstring LineErrorMessage(std::uint32_t number);

// Reads the whole file from its first line into table (emptied first).
//
// Each line is trimmed (IsFormatSpace, end then start); blank lines are
// skipped. A line starting with ';' is a comment and is stored as trimmed.
// Any other line is upper-cased (a-z only) and must be "RESET" or a data
// line: hex digits and blanks only, at most kMaxLineBytes in its ANSI form,
// optionally preceded by "C-APDU" (not in mode 1, a firmware image). In mode 0 a data line may not
// decode to more than kMaxMode0Bytes bytes. A line longer than kMaxHeldLine in the file
// (TextFile::LineCut) breaks the rules whatever it holds, comments and blank lines included.
//
// At the first line that breaks these rules, fills *error (when given),
// stops and returns false; the table then holds the lines before it.
// A read error propagates as std::runtime_error from TextFile.
bool LoadLines(TextFile& file, std::uint8_t mode, LineTable& table, LineError* error);

}  // namespace vantor::download
