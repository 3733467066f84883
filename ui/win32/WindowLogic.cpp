#include "WindowLogic.h"

#include "resource.h"

namespace vantor::win32 {

std::wstring AppNameFromModulePath(const std::wstring& path) {
  const std::size_t slash = path.find_last_of(L"\\/:");
  std::wstring name = slash == std::wstring::npos ? path : path.substr(slash + 1);
  const std::size_t dot = name.rfind(L'.');
  if (dot != std::wstring::npos && dot != 0) name.erase(dot);
  return name;
}

bool IsAboutCommand(unsigned long long command) { return (command & 0xFFF0) == IDM_ABOUTBOX; }

Point IconOrigin(int clientWidth, int clientHeight, int iconWidth, int iconHeight) {
  return {(clientWidth - iconWidth + 1) / 2, (clientHeight - iconHeight + 1) / 2};
}

std::wstring FileDialogFilter() {
  static const wchar_t kFilter[] = L"Bin Files (*.bin)\0*.bin\0";
  return std::wstring(kFilter, sizeof kFilter / sizeof kFilter[0]);
}

}  // namespace vantor::win32
