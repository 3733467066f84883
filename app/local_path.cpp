#include "local_path.h"

#include <climits>
#include <cwchar>

#ifdef _WIN32
#include <windows.h>
#endif

namespace vantor {

namespace {
// Where FromLocalPath keeps a byte that is not valid in the locale.
constexpr wchar_t kByteEscape = 0xDC00;
bool IsByteEscape(wchar_t c) { return c >= kByteEscape + 0x80 && c <= kByteEscape + 0xFF; }
}  // namespace

std::wstring ShownPath(const std::wstring& path) {
  std::wstring out = path;
  for (wchar_t& c : out) {
    if (IsByteEscape(c)) c = static_cast<wchar_t>(c - kByteEscape);
  }
  return out;
}

#ifdef _WIN32
// Windows: paths travel as UTF-8 and are widened again where the OS takes
// them (_wfopen), so every file name survives.
std::string ToLocalPath(const std::wstring& path) {
  if (path.empty()) return std::string();
  const int length = static_cast<int>(path.size());
  const int n = WideCharToMultiByte(CP_UTF8, 0, path.data(), length, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::string(path.size(), '?');
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, path.data(), length, &out[0], n, nullptr, nullptr);
  return out;
}

std::wstring FromLocalPath(const std::string& path) {
  if (path.empty()) return std::wstring();
  const int length = static_cast<int>(path.size());
  const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), length, nullptr, 0);
  if (n > 0) {
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), length, &out[0], n);
    return out;
  }
  // Not UTF-8: take each byte as its own character.
  std::wstring out;
  for (unsigned char c : path) out += static_cast<wchar_t>(c);
  return out;
}
#else
std::string ToLocalPath(const std::wstring& path) {
  std::string out;
  std::mbstate_t state{};
  char buffer[MB_LEN_MAX];
  for (wchar_t c : path) {
    if (IsByteEscape(c)) {
      out += static_cast<char>(c - kByteEscape);
      continue;
    }
    const std::size_t n = std::wcrtomb(buffer, c, &state);
    if (n == static_cast<std::size_t>(-1)) {
      out += '?';
      state = std::mbstate_t{};
    } else {
      out.append(buffer, n);
    }
  }
  return out;
}

std::wstring FromLocalPath(const std::string& path) {
  std::wstring out;
  std::mbstate_t state{};
  const char* p = path.data();
  std::size_t left = path.size();
  while (left > 0) {
    wchar_t c = 0;
    const std::size_t n = std::mbrtowc(&c, p, left, &state);
    if (n == static_cast<std::size_t>(-1) || n == static_cast<std::size_t>(-2)) {
      // Not valid in this locale: keep the byte (see ShownPath).
      out += static_cast<wchar_t>(kByteEscape + static_cast<unsigned char>(*p));
      state = std::mbstate_t{};
      ++p;
      --left;
      continue;
    }
    if (n == 0) break;
    out += c;
    p += n;
    left -= n;
  }
  return out;
}

#endif  // _WIN32

}  // namespace vantor
