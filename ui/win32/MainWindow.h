// The Win32 main window: dialog template 102 run modally, with the window
// state and handlers of CVantorToolDlg behind it.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <thread>

#include "VantorToolDlg.h"
#include "WindowHost.h"

namespace vantor::win32 {

// Carries out the std::function<void()> that lParam points to; sent by a
// worker, which waits until it has run.
constexpr UINT kRunOnWindowThread = WM_APP + 1;

class CMainWindow : public WindowHost {
 public:
  CMainWindow(HINSTANCE instance, std::wstring appName);
  ~CMainWindow() override;
  CMainWindow(const CMainWindow&) = delete;
  CMainWindow& operator=(const CMainWindow&) = delete;

  // Shows the window and returns how it ended (IDOK or IDCANCEL).
  INT_PTR DoModal();

  // WindowHost
  std::wstring GetPathFieldText() override;
  void SetPathFieldText(const std::wstring& text) override;
  void ShowPathFieldEnd() override;
  void SetPaneText(const std::wstring& text) override;
  void EnableControl(int id, bool enable) override;
  int ShowMessageBox(const std::wstring& text, const std::wstring& caption, unsigned type) override;
  void ShowAppMessageBox(const std::wstring& text) override;
  bool ChooseFile(std::wstring* path) override;
  void RunOnWindowThread(const std::function<void()>& op) override;
  void StartWorker(std::function<void()> work) override;

 private:
  static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
  BOOL OnInitDialog();
  BOOL OnSysCommand(WPARAM id);
  // The right mouse button, Shift+F10 and the Menu key (WM_CONTEXTMENU).
  void OnContextMenu(LPARAM where);
  BOOL OnPaint();
  void OnCommand(int id, int code);
  void EndIfIdle(int result);
  void JoinWorker();

  HINSTANCE instance_;
  std::wstring appName_;
  HWND hWnd_ = nullptr;
  HICON hIcon_ = nullptr;
  DWORD windowThread_ = 0;
  HWND focusBeforeDisable_ = nullptr;
  std::thread worker_;
  CVantorToolDlg dlg_;
};

// The About box, template 100.
class CAboutDlg {
 public:
  explicit CAboutDlg(HINSTANCE instance) : instance_(instance) {}
  INT_PTR DoModal(HWND owner);

 private:
  static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  HINSTANCE instance_;
};

}  // namespace vantor::win32
