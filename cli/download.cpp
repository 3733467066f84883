// check and download: the file is checked and loaded once, then the
// download attempt takes the readers and runs the job in each of them at
// once, one thread a reader; this file gives it the command line.
#include <unistd.h>
#ifndef _WIN32
#include <sys/ioctl.h>
#endif

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "attempt.h"
#include "commands.h"
#include "download_job.h"
#include "download_report.h"
#include "errors.h"
#include "format.h"
#include "interrupt.h"
#include "local_path.h"
#include "place.h"
#include "progress.h"
#include "terminal.h"
#include "vantor/reader.h"

namespace vantor::cli {
namespace {

using app::DownloadEvent;
using app::Outcome;

const char* ModeName(std::uint8_t mode) {
  switch (mode) {
    case download::kHeaderF: return "firmware image";
    case download::kHeaderE: return "nothing to send";
    default: return "offline-data script";
  }
}

// The firmware question on the terminal: --yes answers it, without a
// person to ask it is declined.
bool ConfirmFirmware(bool assumeYes) {
  std::fprintf(stderr, "Info: This file is Update the Device Firmware, \n please confirm!\n");
  if (assumeYes) {
    std::fprintf(stderr, "Yes (--yes)\n");
    return true;
  }
  if (!::isatty(STDIN_FILENO) || !::isatty(STDERR_FILENO)) {
    std::fprintf(stderr, "No: not confirmed (run with --yes to confirm)\n");
    return false;
  }
  std::fprintf(stderr, "Confirm? [y/N] ");
  std::fflush(stderr);
  int c = std::fgetc(stdin);
  const bool yes = c == 'y' || c == 'Y';
  while (c != EOF && c != '\n') c = std::fgetc(stdin);
  return yes;
}

int ExitCodeFor(Outcome outcome) {
  switch (outcome) {
    case Outcome::kSuccess:
    case Outcome::kNothingSent: return kExitOk;
    case Outcome::kNoReader: return kExitNoReader;
    case Outcome::kDeclined: return kExitDeclined;
    case Outcome::kNoFile:
    case Outcome::kFileError:
    case Outcome::kLineError: return kExitUsage;
    default: return kExitFailed;
  }
}

// The rows of the terminal on stderr, 0 when it is none.
int TerminalRows() {
#ifdef _WIN32
  return 0;
#else
  winsize size{};
  if (!::isatty(STDERR_FILENO) || ::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_row == 0 ? 25 : size.ws_row;
#endif
}

// The attempt's events on the terminal: the progress of each reader once
// the board is up, and the pane's last text of each.
class Watch : public app::DownloadSink {
 public:
  explicit Watch(std::uint8_t mode) : mode_(mode) {}
  void Show(Progress* board) { board_ = board; }
  void On(const DownloadEvent& event) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (event.kind == DownloadEvent::Kind::kStatus || event.kind == DownloadEvent::Kind::kSent) {
      panes_[event.reader] = event.pane;
    }
    if (board_ == nullptr) return;
    if (event.kind == DownloadEvent::Kind::kSent) board_->Update(event.reader, event.percent);
    if (event.kind == DownloadEvent::Kind::kRunEnded) {
      board_->Ended(event.reader, ReaderMessage(event.end, mode_));
    }
  }
  std::wstring Pane(std::size_t i) {
    std::lock_guard<std::mutex> lock(mutex_);
    return panes_[i];
  }

 private:
  std::mutex mutex_;
  std::uint8_t mode_;
  Progress* board_ = nullptr;
  std::map<std::size_t, std::wstring> panes_;
};

}  // namespace

std::optional<int> LoadToSend(const std::string& path, bool assumeYes, app::DownloadFile* file,
                              std::string* why) {
  const app::LoadResult load = app::LoadDownloadFile(
      FromLocalPath(path), [&] { return ConfirmFirmware(assumeYes); }, file);
  if (load.outcome == Outcome::kNone) return std::nullopt;
  std::string reason;
  if (!load.message.empty()) {
    reason = ShownPane(load.message);
    std::fprintf(stderr, "VantorTool: %s\n", reason.c_str());
  }
  if (load.outcome == Outcome::kLineError) {
    const std::string line = "line " + std::to_string(load.lineError.physicalLine) + ": " +
                             EchoLine(load.lineError.text);
    std::fprintf(stderr, "%s\n", line.c_str());
    reason += " " + line;
  } else if (!load.opened) {
    const std::string why = Shown(path) + ": " + std::strerror(load.fileError);
    std::fprintf(stderr, "vantor: %s\n", why.c_str());
    reason += " " + why;
  } else if (!load.readError.empty()) {
    std::fprintf(stderr, "vantor: reading %s failed: %s\n", Shown(path).c_str(),
                 load.readError.c_str());
    reason = "reading failed: " + load.readError;
  } else if (load.outcome == Outcome::kDeclined) {
    reason = "firmware download not confirmed";
  }
  *why = reason;
  return ExitCodeFor(load.outcome);
}

namespace {

// After the readers were taken, or not: the readers left out said, and a
// code to end with when no download starts.
std::optional<int> Taken(bool taken, const app::AttemptResult& result, const std::string& path,
                         const Selection& selection, const DownloadOptions& options) {
  for (const auto& left : result.leftOut) {
    if (left.duplicateOf.empty()) {
      std::fprintf(stderr, "vantor: reader %s is in use by another program, left out\n",
                   Shown(left.path).c_str());
    } else {
      std::fprintf(stderr, "vantor: %s is the same reader as %s, programmed once\n",
                   Shown(left.path).c_str(), Shown(left.duplicateOf).c_str());
    }
  }
  if (taken) return std::nullopt;
  if (!result.historyError.empty()) {
    std::fprintf(stderr, "vantor: %s; nothing was downloaded\n",
                 Shown(result.historyError).c_str());
    return EndEarly(kExitFailed, path, result.historyError, options.json);
  }
  if (!result.noReader) return std::nullopt;  // every reader is in use: the summary says so
  if (selection.all) {
    std::fprintf(stderr, "vantor: no reader found (see 'vantor list')\n");
    return EndEarly(kExitNoReader, path, "no reader found", options.json);
  }
  std::fprintf(stderr, "Info: Open Device Error!\n");
  if (!options.json) std::printf("Open Device Error!\n");
  const int code = ReportOpenFailure(result.openResult, result.openedPath);
  return EndEarly(code, path, DescribeError(result.openResult), options.json);
}

// One reader's download on the terminal: the pane's final text on stdout,
// what went wrong on stderr.
void ShowOne(const app::ReaderResult& run, const std::wstring& pane, std::uint8_t mode,
             int signal) {
  const std::string message = ReaderMessage(run.end, mode);
  const bool closeFailedAfterSuccess = run.end.closeFailed && run.end.outcome == Outcome::kSuccess;
  if (closeFailedAfterSuccess) {
    // Not the pane's success line: the summary's word in its place.
    PrintPane(WithoutLastLine(pane));
    std::printf("%s\n", message.c_str());
  } else {
    PrintPane(pane);
  }
  if (signal != 0) {
    std::fprintf(stderr, "vantor: %s\n", message.c_str());
  } else if (closeFailedAfterSuccess) {
    ReportCloseFailure();
  }
}

// The attempt's end on the terminal, and the exit code.
int Finish(const app::AttemptResult& result, Watch& watch, const std::string& path,
           std::uint8_t mode, bool all, const DownloadOptions& options) {
  const int signal = StopOnSignals::Caught();
  if (options.json) {
    std::printf("%s\n", Dump(Summary(path, result, mode)).c_str());
  } else if (all) {
    if (!result.readers.empty()) PrintTable(result, mode);
  } else {
    ShowOne(result.readers.front(), watch.Pane(0), mode, signal);
  }
  const bool recorded = result.finishedError.empty();
  if (!recorded) std::fprintf(stderr, "vantor: %s\n", Shown(result.finishedError).c_str());
  if (signal != 0) return 128 + signal;
  if (result.readers.empty()) return kExitNoReader;
  if (!recorded) return kExitFailed;
  int code = kExitOk;
  for (const auto& run : result.readers) code = std::max(code, run.exitCode);
  return code == kExitOk ? kExitOk : all ? kExitFailed : code;
}

}  // namespace

int Check(const std::string& path) {
  // The download's own load, so that check says ok exactly when download
  // would send the file; a firmware image is taken as confirmed.
  app::DownloadFile file;
  const app::LoadResult load = app::LoadDownloadFile(
      FromLocalPath(path), [] { return true; }, &file);
  if (!load.opened) {
    std::fprintf(stderr, "VantorTool: Open File Error!\n");
    std::fprintf(stderr, "vantor: %s: %s\n", Shown(path).c_str(), std::strerror(load.fileError));
    return kExitUsage;
  }
  if (!load.readError.empty()) {
    std::fprintf(stderr, "vantor: reading %s failed: %s\n", Shown(path).c_str(),
                 load.readError.c_str());
    return kExitUsage;
  }
  const std::uint8_t* header = file.header;
  std::printf("mode: %u (%s)\n", file.mode, ModeName(file.mode));
  std::printf("header: %02X %02X %02X%s\n", header[0], header[1], header[2],
              file.mode == download::kHeaderF ? "" : " (sent only with a firmware image)");
  std::printf("lines: %zu\n", file.lines.size());
  if (load.outcome == Outcome::kNone) {
    std::printf("ok\n");
    return kExitOk;
  }
  std::printf("%s\n", ShownPane(load.message).c_str());
  if (load.outcome == Outcome::kLineError) {
    std::printf("line %u: %s\n", load.lineError.physicalLine,
                EchoLine(load.lineError.text).c_str());
  }
  return kExitUsage;
}

int Download(const Selection& selection, const std::string& path, const DownloadOptions& options) {
  KeepRunningOnClosedPipe();
  // The file is checked and loaded once, and a firmware image confirmed
  // once, before any reader is touched.
  app::DownloadFile file;
  std::string why;
  if (const auto code = LoadToSend(path, options.assumeYes, &file, &why)) {
    return EndEarly(*code, path, why, options.json);
  }

  // From here on a signal stops the downloads instead of the process.
  std::atomic<bool> stop{false};
  StopOnSignals signals(stop);
  app::AttemptSetup setup;
  setup.choice = {selection.all, selection.path};
  setup.place = history::Locate(options.noHistory, false);
  setup.stop = &stop;
  setup.stopSignal = [] { return StopOnSignals::Caught(); };
  Watch watch(file.mode);
  app::Attempt attempt(file, std::move(setup), watch);
  const bool taken = attempt.Take();
  if (const auto code = Taken(taken, attempt.Result(), path, selection, options)) return *code;

  std::vector<std::string> shownPaths;
  for (const auto& reader : attempt.Readers()) shownPaths.push_back(Shown(reader.path));
  const int rows = TerminalRows();
  Progress board(shownPaths, selection.all, rows > 0, rows);
  watch.Show(&board);
  if (taken) attempt.Run();
  board.Finish();
  return Finish(attempt.Result(), watch, path, file.mode, selection.all, options);
}

}  // namespace vantor::cli
