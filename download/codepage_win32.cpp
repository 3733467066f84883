// Code page conversion on Windows: the system's ANSI code page (CP_ACP).
#include "codepage.h"

#include <windows.h>

#include "utf16_win32.h"

namespace vantor::download {

std::string AnsiCharset() { return "CP" + std::to_string(GetACP()); }

bool AnsiCharsetKnown() { return true; }

std::string ToAnsi(const std::wstring& wide) {
  std::string out;
  return text::FromUtf16(wide, text::CodePage::kAnsi, &out) ? out : std::string(wide.size(), '?');
}

std::wstring FromAnsi(const char* bytes, std::size_t n) {
  std::wstring out;
  n = TextLength(bytes, n);
  if (n == 0) return out;
  if (text::ToUtf16({bytes, n}, text::CodePage::kAnsi, /*strict=*/true, &out)) return out;
  // Some sequence is invalid: take one character at a time, trying the
  // shortest sequence first; a byte that starts none stands for itself.
  std::size_t i = 0;
  std::wstring piece;
  while (i < n) {
    bool taken = false;
    for (std::size_t len = 1; len <= 4 && i + len <= n && !taken; ++len) {
      if (text::ToUtf16({bytes + i, len}, text::CodePage::kAnsi, /*strict=*/true, &piece)) {
        out += piece;
        i += len;
        taken = true;
      }
    }
    if (!taken) {
      out.push_back(static_cast<wchar_t>(static_cast<unsigned char>(bytes[i])));
      ++i;
    }
  }
  return out;
}

}  // namespace vantor::download
