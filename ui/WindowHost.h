// The small window-system interface that CVantorToolDlg talks to. Each
// front end (console, Qt, Win32, the scripted test host) implements it; the
// handlers' logic exists once, in CVantorToolDlg.
#pragma once

#include <functional>
#include <string>

namespace vantor {

// Control IDs of the main window.
constexpr int kIdOpenFile = 1000;  // "Open File..."
constexpr int kIdFilePath = 1001;  // the path field
constexpr int kIdGetInfo = 1002;   // "Get Device Info"
constexpr int kIdDownload = 1003;  // "Download To  Device"
constexpr int kIdTextPane = 1004;  // the read-only text pane

// Message box types and answers, with the values the window system uses.
constexpr unsigned kMbOk = 0;
constexpr unsigned kMbYesNo = 4;
constexpr int kIdOk = 1;
constexpr int kIdYes = 6;
constexpr int kIdNo = 7;

class WindowHost {
 public:
  virtual ~WindowHost() = default;

  // Data exchange with the path field.
  virtual std::wstring GetPathFieldText() = 0;
  virtual void SetPathFieldText(const std::wstring& text) = 0;
  // Moves the path field's caret to its end, so a long path shows its end.
  virtual void ShowPathFieldEnd() = 0;

  // Sets the text pane's whole text ("\r\n" breaks lines).
  virtual void SetPaneText(const std::wstring& text) = 0;
  virtual void EnableControl(int id, bool enable) = 0;

  // The main window's message box: the given caption, kMbOk or kMbYesNo,
  // no icon. Returns kIdOk, kIdYes or kIdNo.
  virtual int ShowMessageBox(const std::wstring& text, const std::wstring& caption,
                             unsigned type) = 0;
  // The application's message box: the application name as caption, OK,
  // exclamation icon.
  virtual void ShowAppMessageBox(const std::wstring& text) = 0;

  // The file-open dialog ("Bin Files (*.bin)", the file must exist).
  // true with the chosen file's full path; false when cancelled.
  virtual bool ChooseFile(std::wstring* path) = 0;

  // Carries out op on the window thread and returns once it has run.
  virtual void RunOnWindowThread(const std::function<void()>& op) = 0;
  // Starts a worker thread that runs work.
  virtual void StartWorker(std::function<void()> work) = 0;

  // The pane has just been set to a text that ends in this percentage (for
  // front ends that draw a progress bar of their own). Window thread.
  virtual void OnProgress(int /*percent*/) {}
};

}  // namespace vantor
