#include "format.h"

#include <cstring>

#include "codepage.h"
#include "hex.h"

namespace vantor::download {

namespace {

// A hex digit's value; any other character gives its own code, of which
// callers keep the low four bits only.
unsigned HexDigit(char ch) {
  const int value = text::HexDigit(ch);
  return value >= 0 ? static_cast<unsigned>(value) : static_cast<unsigned char>(ch);
}

// The piece of line starting at pos, at most two characters long. A negative
// pos counts as 0; a piece running past the end is shortened.
std::wstring PieceAt(const std::wstring& line, std::int64_t pos) {
  if (pos < 0) pos = 0;
  if (static_cast<std::uint64_t>(pos) >= line.size()) return std::wstring();
  return line.substr(static_cast<std::size_t>(pos), 2);
}

// Byte spelled by a piece of up to two characters, read from its ANSI form.
// The value buffer is zero-filled, so a short piece reads NULs (digit 0).
std::uint8_t PieceValue(const std::wstring& piece) {
  char value[256];
  std::memset(value, 0, sizeof value);
  const std::string ansi = ToAnsi(piece);
  std::memcpy(value, ansi.data(), ansi.size() < sizeof value - 1 ? ansi.size() : sizeof value - 1);
  std::uint8_t out[1] = {0};
  std::int32_t count = 0;
  DecodeHexPairs(value, 2, out, &count);
  return out[0];
}

std::int64_t FindPos(const std::wstring& line, const wchar_t* what) {
  const std::size_t at = line.find(what);
  return at == std::wstring::npos ? -1 : static_cast<std::int64_t>(at);
}

}  // namespace

void DecodeHexPairs(const char* text, std::uint32_t n, std::uint8_t* out, std::int32_t* count) {
  *count = 0;
  if (n == 0) return;
  // A 64-bit counter: a 16-bit one would wrap for n >= 65535 and never end.
  for (std::uint64_t i = 0; i < n; i += 2) {
    const unsigned high = HexDigit(text[i]) & 0xF;
    const unsigned low = HexDigit(text[i + 1]) & 0xF;
    out[(*count)++] = static_cast<std::uint8_t>(high * 16 + low);
  }
}

int CheckHexLine(std::uint32_t n, const char* text) {
  for (std::uint32_t i = 0; i < n; ++i) {
    const unsigned c = static_cast<unsigned char>(text[i]);
    const bool ok = (c >= 0x30 && c <= 0x39) || (c >= 0x41 && c <= 0x46) ||
                    (c >= 0x61 && c <= 0x66) || c == 0x20;
    if (!ok) return 0;
  }
  return 1;
}

bool IsFormatSpace(wchar_t c) {
  switch (c) {
    case L'\t':
    case L'\n':
    case L'\v':
    case L'\f':
    case L'\r':
    case L' ':
    case static_cast<wchar_t>(0xA0): return true;
    default: return false;
  }
}

std::wstring TrimLine(const std::wstring& line) {
  std::size_t end = line.size();
  while (end > 0 && IsFormatSpace(line[end - 1])) --end;
  std::size_t begin = 0;
  while (begin < end && IsFormatSpace(line[begin])) ++begin;
  return line.substr(begin, end - begin);
}

std::uint8_t ParseHeaderLine(const std::wstring& line, std::uint8_t header[3]) {
  header[0] = header[1] = header[2] = 0;
  std::uint8_t mode = kHeaderNone;
  if (line.empty() || line[0] != L';') return mode;

  const std::int64_t p = FindPos(line, L"=");
  const std::wstring marker = PieceAt(line, p);
  if (marker == L"=F") {
    mode = kHeaderF;
  } else if (marker == L"=E") {
    mode = kHeaderE;
  }
  header[0] = PieceValue(PieceAt(line, p + 1));

  const std::int64_t q = FindPos(line, L"ProductType=");
  header[1] = PieceValue(PieceAt(line, q + 12));

  const std::int64_t r = FindPos(line, L"ProductNum=");
  header[2] = PieceValue(PieceAt(line, r + 11));
  return mode;
}

}  // namespace vantor::download
