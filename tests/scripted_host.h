// A window host for tests: records every window operation and message box
// as a line of text, answers the boxes from a script, and runs the worker's
// operations on the test's thread, as a window thread would.
#pragma once

#include <deque>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "ui/WindowHost.h"
#include "event_loop.h"

namespace vantor::test {

class ScriptedHost : public WindowHost {
 public:
  std::wstring GetPathFieldText() override {
    Record(L"get-path");
    return pathField;
  }
  void SetPathFieldText(const std::wstring& text) override {
    Record(L"set-path " + text);
    pathField = text;
  }
  void ShowPathFieldEnd() override { Record(L"path-end"); }
  void SetPaneText(const std::wstring& text) override { Record(L"pane " + text); }
  void EnableControl(int id, bool enable) override {
    Record((enable ? L"enable " : L"disable ") + std::to_wstring(id));
  }
  int ShowMessageBox(const std::wstring& text, const std::wstring& caption,
                     unsigned type) override {
    Record(L"box " + caption + L" " + std::to_wstring(type) + L" " + text);
    if (type != kMbYesNo) return kIdOk;
    if (whileAsked) whileAsked();
    if (answers.empty()) return kIdNo;
    const int answer = answers.front();
    answers.pop_front();
    return answer;
  }
  void ShowAppMessageBox(const std::wstring& text) override { Record(L"appbox " + text); }
  bool ChooseFile(std::wstring* path) override {
    Record(L"choose-file");
    if (chosenFile.empty()) return false;
    *path = chosenFile;
    return true;
  }
  void RunOnWindowThread(const std::function<void()>& op) override { loop_.RunAndWait(op); }
  void StartWorker(std::function<void()> work) override {
    Record(L"start-worker");
    if (failStart) throw std::runtime_error("no thread");
    loop_.StartWorker(std::move(work));
  }

  // Runs the window thread until the worker has ended.
  void RunWorker() { loop_.RunUntilWorkersEnd(); }

  // Operations recorded since the last call, oldest first.
  std::vector<std::wstring> Take() { return std::exchange(log_, {}); }

  std::wstring pathField;
  std::wstring chosenFile;           // what the file dialog answers ("" = cancel)
  std::deque<int> answers;           // answers of Yes/No boxes (default No)
  std::function<void()> whileAsked;  // runs while a Yes/No box waits for its answer
  bool failStart = false;            // no thread for the worker

 private:
  void Record(const std::wstring& line) { log_.push_back(line); }

  std::vector<std::wstring> log_;
  EventLoop loop_;
};

}  // namespace vantor::test
