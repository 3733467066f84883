#include "loader.h"

#include "codepage.h"
#include "format.h"

namespace vantor::download {

namespace {

void UpperAscii(std::wstring& text) {
  for (wchar_t& ch : text) {
    if (ch >= L'a' && ch <= L'z') ch = static_cast<wchar_t>(ch - L'a' + L'A');
  }
}

// Hex digits and blanks only, judged on the ANSI form over as many bytes as
// the text has characters. An ANSI form shorter than that fails, as the NUL
// after it would.
bool PassesDataRule(const std::wstring& text, const std::string& ansi) {
  if (ansi.size() < text.size()) return false;
  return CheckHexLine(static_cast<std::uint32_t>(text.size()), ansi.c_str()) == 1;
}

// Bytes the worker sends for a data line: blanks and tabs removed, the
// remaining hex digits taken in pairs.
std::size_t DecodedBytes(const std::wstring& data) {
  std::size_t digits = 0;
  for (wchar_t ch : data) {
    if (ch != L' ' && ch != L'\t') ++digits;
  }
  return (digits + 1) / 2;
}

bool IsValidLine(const std::wstring& upper, std::uint8_t mode) {
  const std::string ansi = ToAnsi(upper);
  if (ansi.size() > kMaxLineBytes) return false;

  // A firmware image has no records: there "C-APDU" would be sent as hex.
  const bool apdu = mode != kHeaderF && upper.compare(0, kApduPrefixLength, kApduPrefix) == 0;
  const std::wstring rest = apdu ? upper.substr(kApduPrefixLength) : std::wstring();
  const std::wstring& data = apdu ? rest : upper;
  if (!PassesDataRule(data, apdu ? ToAnsi(rest) : ansi)) return false;

  if (mode == kHeaderNone && DecodedBytes(data) > kMaxMode0Bytes) return false;
  return true;
}

}  // namespace

std::wstring LineErrorMessage(std::uint32_t number) {
  return L"File " + std::to_wstring(number) + L" Line Error,Please Check!";
}

bool LoadLines(TextFile& file, std::uint8_t mode, LineTable& table, LineError* error) {
  table.clear();
  file.SeekToBegin();
  std::uint32_t n = 1;
  std::wstring line;
  while (file.ReadString(line)) {
    std::wstring text = TrimLine(line);
    if (text.empty() && !file.LineCut()) continue;
    // A line longer than is held is refused whatever it holds.
    if (file.LineCut() || text[0] != L';') {
      UpperAscii(text);
      if (file.LineCut() || (text != kResetPrefix && !IsValidLine(text, mode))) {
        if (error != nullptr) {
          error->number = n - 1;
          error->physicalLine = file.PhysicalLine();
          error->text = TrimLine(line);  // as in the file, case kept
        }
        return false;
      }
    }
    table.emplace_hint(table.end(), n, std::move(text));
    ++n;
  }
  return true;
}

}  // namespace vantor::download
