// Download file format: hex pairs, data line check, blanks and the header line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vantor::download {

// Decodes pairs of hex digits from text[0..n) into out.
//
// Each pair (high, low) gives (digit(high) & 0xF) * 16 + (digit(low) & 0xF),
// where digit() maps 'A'..'F' and 'a'..'f' to 10..15 and every other
// character to its own code, so '0'..'9' give 0..9, a blank gives 0 and
// other characters give the low four bits of their code ('G' -> 7).
// Nothing is validated here: use CheckHexLine first where that matters.
//
// For an odd n the last pair takes text[n] as its low digit, so text must
// have at least one readable byte after the n characters (a NUL-terminated
// string always has). out must hold (n + 1) / 2 bytes; *count receives the
// number of bytes written, which is (n + 1) / 2 (n must stay below 2^31).
void DecodeHexPairs(const char* text, std::uint32_t n, std::uint8_t* out, std::int32_t* count);

// 1 when each of the n characters of text is '0'..'9', 'A'..'F', 'a'..'f'
// or a blank, 0 at the first one that is not. n == 0 gives 1.
int CheckHexLine(std::uint32_t n, const char* text);

// Tab, LF, VT, FF, CR, blank and no-break space (U+00A0).
bool IsFormatSpace(wchar_t c);

// The line without IsFormatSpace characters at its end and its start.
std::wstring TrimLine(const std::wstring& line);

// Prefixes of a script line: an APDU record (optional) and a reset record.
constexpr wchar_t kApduPrefix[] = L"C-APDU";
constexpr std::size_t kApduPrefixLength = 6;
constexpr wchar_t kResetPrefix[] = L"RESET";
constexpr std::size_t kResetPrefixLength = 5;

// Header line results.
enum HeaderMode : std::uint8_t {
  kHeaderNone = 0,  // no "=F" / "=E" marker
  kHeaderF = 1,     // first '=' followed by 'F'
  kHeaderE = 2,     // first '=' followed by 'E'
};

// Reads the download file's first line (as read: not trimmed, maybe empty).
// Returns the mode (HeaderMode) and fills header[0] (type byte), header[1]
// (product type) and header[2] (product number). A line that does not start
// with ';' is no header: mode 0 and all three bytes 0.
//
// The type byte is the two characters after the first '=', the product type
// the two after "ProductType=", the product number the two after
// "ProductNum=". A key that is missing is taken at position -1, so its value
// is read from fixed positions of the line (position 0, 11 and 10). Values
// are read as by DecodeHexPairs on their ANSI form: one character c gives
// digit(c) * 16, no character at all gives 0.
std::uint8_t ParseHeaderLine(const std::wstring& line, std::uint8_t header[3]);

}  // namespace vantor::download
