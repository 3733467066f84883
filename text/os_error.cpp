#include "os_error.h"

#ifdef _WIN32
#include <windows.h>

#include "utf16_win32.h"
#else
#include <cstring>
#endif

namespace vantor::text {

#ifdef _WIN32
std::string OsErrorText(int code) {
  wchar_t text[512] = {};
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           static_cast<DWORD>(code), 0, text, 512, nullptr);
  while (n > 0 && (text[n - 1] == L'\n' || text[n - 1] == L'\r' || text[n - 1] == L'.')) --n;
  const std::string what = n > 0 ? Utf8FromUtf16(std::wstring_view(text, n)) : "";
  return what.empty() ? "system error" : what;
}

std::string OsErrorWithCode(int code) {
  return OsErrorText(code) + " (error " + std::to_string(code) + ")";
}
#else
std::string OsErrorText(int code) { return std::strerror(code); }

std::string OsErrorWithCode(int code) {
  return OsErrorText(code) + " (errno " + std::to_string(code) + ")";
}
#endif

}  // namespace vantor::text
