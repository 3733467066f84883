// Every attached reader at once: download --all runs the window's Download
// sequence in one dialog per reader, each on its own worker; info --all asks
// each reader in turn.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "commands.h"
#include "dialog_support.h"
#include "event_loop.h"
#include "local_path.h"
#include "readers.h"
#include "vantor/reader.h"

namespace vantor::cli {
namespace {

using Clock = std::chrono::steady_clock;

double SecondsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

// One reader of the batch, as its progress line and the summary show it.
struct ReaderRun {
  std::string path;
  std::wstring pane;
  int percent = 0;
  bool ended = false;
  Clock::time_point start = Clock::now();
  Clock::time_point end = start;
};

// The pane's last non-empty line: after the download, "Download SUCCESS!"
// or the text of the step that failed.
std::wstring LastLine(const std::wstring& pane) {
  const std::size_t last = pane.find_last_not_of(L"\r\n");
  if (last == std::wstring::npos) return L"";
  const std::size_t before = pane.find_last_of(L"\r\n", last);
  const std::size_t first = before == std::wstring::npos ? 0 : before + 1;
  return pane.substr(first, last + 1 - first);
}

// The progress on stderr. Live (a terminal): one line per reader, redrawn
// in place. Otherwise a line each time a reader passes a further 10 %, and
// one when it ends, each starting with the reader's path.
class ProgressBoard {
 public:
  ProgressBoard(const std::vector<ReaderRun>& runs, bool live)
      : runs_(runs), live_(live), shown_(runs.size()), tenths_(runs.size(), 0) {
    for (const auto& run : runs) width_ = std::max(width_, run.path.size());
  }

  void Start() {
    if (!live_) return;
    for (std::size_t i = 0; i < runs_.size(); ++i) {
      shown_[i] = Line(runs_[i]);
      std::fprintf(stderr, "%s\n", shown_[i].c_str());
    }
    std::fflush(stderr);
  }

  // Window thread: reader i has moved on.
  void Update(std::size_t i) {
    const ReaderRun& run = runs_[i];
    if (live_) {
      std::string line = Line(run);
      if (line == shown_[i]) return;
      shown_[i] = std::move(line);
      const std::size_t up = runs_.size() - i;
      std::fprintf(stderr, "\x1b[%zuA\r\x1b[2K%s\x1b[%zuB\r", up, shown_[i].c_str(), up);
    } else if (run.ended) {
      std::fprintf(stderr, "%s  %s\n", run.path.c_str(), ToTerminal(LastLine(run.pane)).c_str());
    } else {
      const int tenths = run.percent / 10;
      if (tenths <= tenths_[i]) return;
      tenths_[i] = tenths;
      std::fprintf(stderr, "%s  %d%%\n", run.path.c_str(), tenths * 10);
    }
    std::fflush(stderr);
  }

 private:
  std::string Line(const ReaderRun& run) const {
    constexpr int kBar = 30;
    const int filled = std::clamp(run.percent, 0, 100) * kBar / 100;
    char percent[16];
    std::snprintf(percent, sizeof percent, "] %3d%%  ", run.percent);
    std::string line = run.path;
    line.resize(std::max(width_, line.size()), ' ');
    line += "  [" + std::string(static_cast<std::size_t>(filled), '#') +
            std::string(static_cast<std::size_t>(kBar - filled), '.') + percent;
    return line + (run.ended ? ToTerminal(LastLine(run.pane)) : "Loading...");
  }

  const std::vector<ReaderRun>& runs_;
  bool live_;
  std::size_t width_ = 0;
  std::vector<std::string> shown_;  // live: each line as drawn
  std::vector<int> tenths_;         // otherwise: the last 10 % step printed
};

// The window of one reader's dialog: the pane and the progress go to the
// board. What a worker hands to the window thread runs at once on the
// worker, under the one lock of the batch: the operations of different
// readers never overlap, and no worker waits for a thread switch per line,
// which with eight readers on two CPUs would cost link frames.
class BatchHost : public WindowHost {
 public:
  BatchHost(std::mutex& windowLock, EventLoop& workers, ProgressBoard& board, ReaderRun& run,
            std::size_t index)
      : windowLock_(windowLock), workers_(workers), board_(board), run_(run), index_(index) {}

  std::wstring GetPathFieldText() override { return pathField_; }
  void SetPathFieldText(const std::wstring& text) override { pathField_ = text; }
  void ShowPathFieldEnd() override {}
  void SetPaneText(const std::wstring& text) override { run_.pane = text; }
  // The worker disables "Download To  Device" first and enables it last.
  void EnableControl(int id, bool enable) override {
    if (id != kIdDownload) return;
    if (!enable) {
      run_.start = Clock::now();
      return;
    }
    run_.end = Clock::now();
    run_.ended = true;
    board_.Update(index_);
  }
  // A box ("Open Device Error!" when the reader did not open) repeats the
  // pane, which the summary shows; the firmware question was asked once
  // for the batch.
  int ShowMessageBox(const std::wstring&, const std::wstring&, unsigned type) override {
    return type == kMbYesNo ? kIdYes : kIdOk;
  }
  void ShowAppMessageBox(const std::wstring&) override {}
  bool ChooseFile(std::wstring*) override { return false; }
  void RunOnWindowThread(const std::function<void()>& op) override {
    std::lock_guard<std::mutex> lock(windowLock_);
    op();
  }
  void StartWorker(std::function<void()> work) override { workers_.StartWorker(std::move(work)); }
  void OnProgress(int percent) override {
    run_.percent = percent;
    board_.Update(index_);
  }

 private:
  std::mutex& windowLock_;
  EventLoop& workers_;
  ProgressBoard& board_;
  ReaderRun& run_;
  std::size_t index_;
  std::wstring pathField_;
};

bool Succeeded(Outcome outcome) {
  return outcome == Outcome::kSuccess || outcome == Outcome::kNothingSent;
}

void PrintTable(const std::vector<ReaderRun>& runs, const std::vector<Outcome>& outcomes,
                double seconds) {
  std::size_t pathWidth = 6, resultWidth = 6;
  for (const auto& run : runs) {
    pathWidth = std::max(pathWidth, run.path.size());
    resultWidth = std::max(resultWidth, ToTerminal(LastLine(run.pane)).size());
  }
  const int pw = static_cast<int>(pathWidth), rw = static_cast<int>(resultWidth);
  std::printf("%-*s  %-*s  %s\n", pw, "reader", rw, "result", "seconds");
  int succeeded = 0;
  for (std::size_t i = 0; i < runs.size(); ++i) {
    succeeded += Succeeded(outcomes[i]) ? 1 : 0;
    std::printf("%-*s  %-*s  %7.2f\n", pw, runs[i].path.c_str(), rw,
                ToTerminal(LastLine(runs[i].pane)).c_str(),
                SecondsBetween(runs[i].start, runs[i].end));
  }
  std::printf("%d of %zu readers succeeded, %zu failed, %.2f s\n", succeeded, runs.size(),
              runs.size() - static_cast<std::size_t>(succeeded), seconds);
}

nlohmann::json JsonSummary(const std::string& file, const std::vector<ReaderRun>& runs,
                           const std::vector<Outcome>& outcomes,
                           const std::vector<std::string>& inUse, double seconds) {
  nlohmann::json readers = nlohmann::json::array();
  int succeeded = 0;
  for (std::size_t i = 0; i < runs.size(); ++i) {
    const bool ok = Succeeded(outcomes[i]);
    succeeded += ok ? 1 : 0;
    readers.push_back({{"path", runs[i].path},
                       {"ok", ok},
                       {"message", Utf8(LastLine(runs[i].pane))},
                       {"seconds", SecondsBetween(runs[i].start, runs[i].end)}});
  }
  return {{"file", file},
          {"readers", readers},
          {"total", runs.size()},
          {"succeeded", succeeded},
          {"failed", static_cast<int>(runs.size()) - succeeded},
          {"in_use", inUse},
          {"seconds", seconds}};
}

}  // namespace

int DownloadAll(const std::string& file, bool assumeYes, bool json) {
  // The file is loaded and checked once, and a firmware image confirmed
  // once, before any reader is touched.
  ConsoleHost loaderHost(TerminalOptions(assumeYes));
  CVantorToolDlg loaded(loaderHost);
  loaded.OnInitDialog();
  loaderHost.SetPathFieldText(FromLocalPath(file));
  const Outcome loadOutcome = loaded.LoadDownload();
  if (loadOutcome != Outcome::kRunning) {
    PrintLineError(loaded);
    return ExitCodeFor(loadOutcome);
  }

  // Every reader is taken before any download starts, so that a run beside
  // this one cannot take one halfway; a reader another program holds is
  // left out. One that does not open goes on to the worker, which tries
  // once more and reports it as the single download does.
  const auto start = Clock::now();
  std::vector<ReaderRun> runs;
  std::vector<int> handles;
  std::vector<std::string> inUse;
  for (const auto& reader : ListReaders(false)) {
    const int handle = DllOpenReaderPath(reader.path.c_str());
    if (handle == VANTOR_ERR_BUSY) {
      std::fprintf(stderr, "vantor: reader %s is in use by another program, left out\n",
                   reader.path.c_str());
      inUse.push_back(reader.path);
      continue;
    }
    runs.emplace_back();
    runs.back().path = reader.path;
    handles.push_back(handle);
  }
  std::vector<Outcome> outcomes;
  if (!runs.empty()) {
#ifdef _WIN32
    const bool live = false;
#else
    const bool live = ::isatty(STDERR_FILENO) != 0;
#endif
    std::mutex windowLock;
    EventLoop workers;  // starts and joins the workers; nothing is queued to it
    ProgressBoard board(runs, live);
    std::vector<std::unique_ptr<BatchHost>> hosts;
    std::vector<std::unique_ptr<CVantorToolDlg>> dialogs;
    board.Start();
    for (std::size_t i = 0; i < runs.size(); ++i) {
      hosts.push_back(std::make_unique<BatchHost>(windowLock, workers, board, runs[i], i));
      dialogs.push_back(std::make_unique<CVantorToolDlg>(*hosts.back()));
      dialogs.back()->OnInitDialog();
      dialogs.back()->SetReaderPath(runs[i].path);
      dialogs.back()->StartLoadedDownload(loaded, handles[i]);
    }
    workers.RunUntilWorkersEnd();
    for (const auto& dlg : dialogs) outcomes.push_back(dlg->LastOutcome());
  } else if (inUse.empty()) {
    std::fprintf(stderr, "vantor: no reader found (see 'vantor list')\n");
  }
  const double seconds = SecondsBetween(start, Clock::now());

  if (json) {
    std::printf("%s\n", JsonSummary(file, runs, outcomes, inUse, seconds).dump(2).c_str());
  } else if (!runs.empty()) {
    PrintTable(runs, outcomes, seconds);
  }
  if (runs.empty()) return kExitNoReader;
  return std::all_of(outcomes.begin(), outcomes.end(), Succeeded) ? kExitOk : kExitFailed;
}

int InfoAll(bool json) {
  const auto readers = ListReaders(false);
  nlohmann::json out = nlohmann::json::array();
  int exitCode = kExitOk;
  for (const auto& reader : readers) {
    if (!json) std::printf("== %s\n", reader.path.c_str());
    nlohmann::json entry = {{"path", reader.path}};
    if (InfoOf(reader.path, json ? &entry : nullptr) != kExitOk) exitCode = kExitFailed;
    out.push_back(entry);
  }
  if (json) std::printf("%s\n", out.dump(2).c_str());
  if (readers.empty()) {
    std::fprintf(stderr, "vantor: no reader found (see 'vantor list')\n");
    return kExitNoReader;
  }
  return exitCode;
}

}  // namespace vantor::cli
