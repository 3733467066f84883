// Code page conversion on Windows: the system's ANSI code page (CP_ACP).
#include "codepage.h"

#include <windows.h>

namespace vantor::download {

std::string AnsiCharset() { return "CP" + std::to_string(GetACP()); }

bool AnsiCharsetKnown() { return true; }

std::string ToAnsi(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int len = static_cast<int>(text.size());
  const int n = WideCharToMultiByte(CP_ACP, 0, text.data(), len, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::string(text.size(), '?');
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, text.data(), len, &out[0], n, nullptr, nullptr);
  return out;
}

std::wstring FromAnsi(const char* bytes, std::size_t n) {
  std::wstring out;
  n = TextLength(bytes, n);
  if (n == 0) return out;
  const int whole =
      MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, bytes, static_cast<int>(n), nullptr, 0);
  if (whole > 0) {
    out.resize(static_cast<std::size_t>(whole));
    MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, bytes, static_cast<int>(n), &out[0], whole);
    return out;
  }
  // Some sequence is invalid: take one character at a time, trying the
  // shortest sequence first; a byte that starts none stands for itself.
  std::size_t i = 0;
  while (i < n) {
    bool taken = false;
    for (int len = 1; len <= 4 && i + static_cast<std::size_t>(len) <= n && !taken; ++len) {
      wchar_t buf[4];
      const int got = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, bytes + i, len, buf, 4);
      if (got > 0) {
        out.append(buf, static_cast<std::size_t>(got));
        i += static_cast<std::size_t>(len);
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
