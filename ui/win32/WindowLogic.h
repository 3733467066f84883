// The small decisions of the Win32 front end that need no window, kept
// apart so that tests can check them.
#pragma once

#include <string>

namespace vantor::win32 {

// The application's name: the executable's file name without folder and
// extension ("C:\\Tools\\VantorTool.exe" -> "VantorTool").
std::wstring AppNameFromModulePath(const std::wstring& path);

// Whether a system command (WM_SYSCOMMAND's wParam) is the About item; the
// system uses the low four bits of the ID for its own purposes.
bool IsAboutCommand(unsigned long long command);

// Where a minimized window draws its icon: centred in the client area,
// rounding as the system's own dialogs do.
struct Point {
  int x;
  int y;
};
Point IconOrigin(int clientWidth, int clientHeight, int iconWidth, int iconHeight);

// The file dialog's filter: pairs of display text and pattern, each ending
// in NUL, the list ending in a second NUL.
std::wstring FileDialogFilter();

}  // namespace vantor::win32
