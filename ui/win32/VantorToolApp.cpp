// VantorTool.exe: the application object and the program's entry.
#include <windows.h>
#include <commctrl.h>

#include <vector>

#include "MainWindow.h"
#include "WindowLogic.h"

namespace vantor::win32 {

class CVantorToolApp {
 public:
  // Runs the main window; the program ends when it closes.
  int InitInstance(HINSTANCE instance);
};

int CVantorToolApp::InitInstance(HINSTANCE instance) {
  INITCOMMONCONTROLSEX controls{};
  controls.dwSize = sizeof controls;
  controls.dwICC = ICC_WIN95_CLASSES;
  InitCommonControlsEx(&controls);

  std::vector<wchar_t> module(32768, L'\0');
  const DWORD length =
      GetModuleFileNameW(nullptr, module.data(), static_cast<DWORD>(module.size()));
  std::wstring appName = AppNameFromModulePath(std::wstring(module.data(), length));
  if (appName.empty()) appName = L"VantorTool";

  CMainWindow dlg(instance, appName);
  dlg.DoModal();
  return 0;
}

}  // namespace vantor::win32

namespace {
vantor::win32::CVantorToolApp theApp;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  return theApp.InitInstance(instance);
}
