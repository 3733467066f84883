#include "local_path.h"

#include "locale_text.h"

namespace vantor {

std::wstring ShownPath(const std::wstring& path) {
  std::wstring out = path;
  for (wchar_t& c : out) {
    if (text::IsByteEscape(c)) c = static_cast<wchar_t>(c - text::kByteEscape);
  }
  return out;
}

std::string ToLocalPath(const std::wstring& path) { return text::ToLocal(path); }

std::wstring FromLocalPath(const std::string& path) { return text::FromLocal(path); }

}  // namespace vantor
