#include "ConsoleHost.h"

#include <cctype>

#include "local_path.h"

namespace vantor {

std::string PaneForTerminal(const std::wstring& pane) {
  std::wstring text;
  for (std::size_t i = 0; i < pane.size(); ++i) {
    if (pane[i] == L'\r' && i + 1 < pane.size() && pane[i + 1] == L'\n') continue;
    text += pane[i];
  }
  return ToTerminal(text);
}

ConsoleHost::ConsoleHost(const Options& options) : options_(options) {}

void ConsoleHost::SetPaneText(const std::wstring& text) { pane_ = text; }

void ConsoleHost::OnProgress(int percent) {
  if (percent == lastPercent_) return;
  lastPercent_ = percent;
  if (options_.progressBar) {
    constexpr int kWidth = 40;
    const int filled = percent * kWidth / 100;
    std::fprintf(options_.err, "\r[%s%s] %3d%%",
                 std::string(static_cast<std::size_t>(filled), '#').c_str(),
                 std::string(static_cast<std::size_t>(kWidth - filled), '.').c_str(), percent);
    progressShown_ = true;
  } else {
    std::fprintf(options_.err, "%d%%\n", percent);
  }
  std::fflush(options_.err);
}

void ConsoleHost::EndProgressLine() {
  if (progressShown_) std::fputc('\n', options_.err);
  progressShown_ = false;
}

int ConsoleHost::ShowMessageBox(const std::wstring& text, const std::wstring& caption,
                                unsigned type) {
  EndProgressLine();
  const std::string shown = PaneForTerminal(text);
  if (type != kMbYesNo) {
    std::fprintf(options_.err, "%s: %s\n", ToTerminal(caption).c_str(), shown.c_str());
    return kIdOk;
  }
  std::fprintf(options_.err, "%s: %s\n", ToTerminal(caption).c_str(), shown.c_str());
  if (options_.assumeYes) {
    std::fprintf(options_.err, "Yes (--yes)\n");
    return kIdYes;
  }
  if (!options_.interactive) {
    std::fprintf(options_.err, "No: not confirmed (run with --yes to confirm)\n");
    return kIdNo;
  }
  std::fprintf(options_.err, "Confirm? [y/N] ");
  std::fflush(options_.err);
  int c = std::fgetc(options_.in);
  const bool yes = c == 'y' || c == 'Y';
  while (c != EOF && c != '\n') c = std::fgetc(options_.in);
  return yes ? kIdYes : kIdNo;
}

void ConsoleHost::ShowAppMessageBox(const std::wstring& text) {
  EndProgressLine();
  std::fprintf(options_.err, "VantorTool: %s\n", PaneForTerminal(text).c_str());
}

void ConsoleHost::RunOnWindowThread(const std::function<void()>& op) { loop_.RunAndWait(op); }

void ConsoleHost::StartWorker(std::function<void()> work) { loop_.StartWorker(std::move(work)); }

void ConsoleHost::WaitForWorker() {
  loop_.RunUntilWorkersEnd();
  EndProgressLine();
}

}  // namespace vantor
