#include "ui/local_path.h"

#include <climits>
#include <cwchar>

namespace vantor {

std::string ToLocalPath(const std::wstring& path) {
  std::string out;
  std::mbstate_t state{};
  char buffer[MB_LEN_MAX];
  for (wchar_t c : path) {
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
      // Not valid in this locale: take the byte as its own character.
      out += static_cast<wchar_t>(static_cast<unsigned char>(*p));
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

}  // namespace vantor
