#include "locale_text.h"

#include <climits>
#include <cwchar>

#ifdef _WIN32
#include "utf16_win32.h"
#endif

namespace vantor::text {

#ifdef _WIN32
// Windows: names travel as UTF-8 and are widened again where the OS takes
// them (_wfopen), so every file name survives.
std::string ToLocal(const std::wstring& text) {
  std::string out;
  return FromUtf16(text, CodePage::kUtf8, &out) ? out : std::string(text.size(), '?');
}

std::wstring FromLocal(const std::string& bytes) {
  std::wstring out;
  if (ToUtf16(bytes, CodePage::kUtf8, /*strict=*/true, &out)) return out;
  // Not UTF-8: take each byte as its own character.
  for (unsigned char c : bytes) out += static_cast<wchar_t>(c);
  return out;
}
#else
std::string ToLocal(const std::wstring& text) {
  std::string out;
  std::mbstate_t state{};
  char buffer[MB_LEN_MAX];
  for (wchar_t c : text) {
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

std::wstring FromLocal(const std::string& bytes) {
  std::wstring out;
  std::mbstate_t state{};
  const char* p = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    wchar_t c = 0;
    const std::size_t n = std::mbrtowc(&c, p, left, &state);
    if (n == static_cast<std::size_t>(-1) || n == static_cast<std::size_t>(-2)) {
      // Not valid in this locale: keep the byte.
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

}  // namespace vantor::text
