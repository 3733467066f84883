// The console front end of the main window: the path field is the file
// named on the command line, the pane's final text goes to stdout, progress
// and message boxes go to stderr.
#pragma once

#include <cstdio>
#include <string>

#include "WindowHost.h"
#include "event_loop.h"

namespace vantor {

class ConsoleHost : public WindowHost {
 public:
  struct Options {
    bool assumeYes = false;    // answer Yes to the firmware question
    bool interactive = false;  // a person can answer on the terminal
    bool progressBar = false;  // stderr is a terminal: draw a bar
    std::FILE* in = stdin;
    std::FILE* err = stderr;
  };
  explicit ConsoleHost(const Options& options);

  std::wstring GetPathFieldText() override { return pathField_; }
  void SetPathFieldText(const std::wstring& text) override { pathField_ = text; }
  void ShowPathFieldEnd() override {}
  void SetPaneText(const std::wstring& text) override;
  void EnableControl(int, bool) override {}
  int ShowMessageBox(const std::wstring& text, const std::wstring& caption, unsigned type) override;
  void ShowAppMessageBox(const std::wstring& text) override;
  bool ChooseFile(std::wstring*) override { return false; }
  void RunOnWindowThread(const std::function<void()>& op) override;
  void StartWorker(std::function<void()> work) override;
  void OnProgress(int percent) override;

  // Runs the window thread until the download worker has ended.
  void WaitForWorker();
  const std::wstring& PaneText() const { return pane_; }

 private:
  void EndProgressLine();

  Options options_;
  EventLoop loop_;
  std::wstring pathField_;
  std::wstring pane_;
  int lastPercent_ = -1;
  bool progressShown_ = false;
};

// The pane's text for a terminal: CR LF becomes LF.
std::string PaneForTerminal(const std::wstring& pane);

}  // namespace vantor
