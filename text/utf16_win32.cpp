#include "utf16_win32.h"

#include <windows.h>

#include <climits>

namespace vantor::text {

bool ToUtf16(std::string_view bytes, CodePage page, bool strict, std::wstring* out) {
  out->clear();
  if (bytes.empty()) return true;
  if (bytes.size() > INT_MAX) return false;
  const auto codePage = static_cast<UINT>(page);
  const DWORD flags = strict ? MB_ERR_INVALID_CHARS : 0;
  const int length = static_cast<int>(bytes.size());
  const int n = MultiByteToWideChar(codePage, flags, bytes.data(), length, nullptr, 0);
  if (n <= 0) return false;
  out->resize(static_cast<std::size_t>(n));
  if (MultiByteToWideChar(codePage, flags, bytes.data(), length, &(*out)[0], n) != n) {
    out->clear();
    return false;
  }
  return true;
}

bool FromUtf16(std::wstring_view text, CodePage page, std::string* out) {
  out->clear();
  if (text.empty()) return true;
  if (text.size() > INT_MAX) return false;
  const auto codePage = static_cast<UINT>(page);
  const int length = static_cast<int>(text.size());
  const int n = WideCharToMultiByte(codePage, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return false;
  out->resize(static_cast<std::size_t>(n));
  if (WideCharToMultiByte(codePage, 0, text.data(), length, &(*out)[0], n, nullptr, nullptr) != n) {
    out->clear();
    return false;
  }
  return true;
}

std::wstring Utf16FromUtf8(std::string_view utf8) {
  std::wstring out;
  ToUtf16(utf8, CodePage::kUtf8, /*strict=*/false, &out);
  return out;
}

std::string Utf8FromUtf16(std::wstring_view text) {
  std::string out;
  FromUtf16(text, CodePage::kUtf8, &out);
  return out;
}

}  // namespace vantor::text
