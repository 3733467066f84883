// check and download: the file is checked and loaded once, the readers are
// taken, and the download job runs in each of them at once, one thread a
// reader; a single download is the same over one reader.
#include <unistd.h>
#ifndef _WIN32
#include <sys/ioctl.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "appender.h"
#include "commands.h"
#include "download_job.h"
#include "errors.h"
#include "format.h"
#include "interrupt.h"
#include "local_path.h"
#include "place.h"
#include "progress.h"
#include "readers.h"
#include "record.h"
#include "records.h"
#include "terminal.h"
#include "text_file.h"
#include "vantor/reader.h"

namespace vantor::cli {
namespace {

using app::Outcome;
using app::StopPoint;
using Clock = std::chrono::steady_clock;

double SecondsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

const char* ModeName(std::uint8_t mode) {
  switch (mode) {
    case download::kHeaderF: return "firmware image";
    case download::kHeaderE: return "nothing to send";
    default: return "offline-data script";
  }
}

// The pane's last non-empty line: after the download, "Download SUCCESS!"
// or the text of the step that failed.
std::wstring LastLine(const std::wstring& pane) {
  const std::size_t last = pane.find_last_not_of(L"\r\n");
  if (last == std::wstring::npos) return L"";
  const std::size_t before = pane.find_last_of(L"\r\n", last);
  const std::size_t first = before == std::wstring::npos ? 0 : before + 1;
  return pane.substr(first, last + 1 - first);
}

// What the reader holds after a download that a signal stopped.
std::string Interrupted(const StopPoint point, std::uint8_t mode) {
  switch (point) {
    case StopPoint::kUnchanged: return "download interrupted before the reader was changed";
    case StopPoint::kIncomplete:
      return mode == download::kHeaderF
                 ? "download interrupted: the reader now holds an incomplete firmware image; "
                   "download again before unplugging it"
                 : "download interrupted: the reader now holds an incomplete script; download "
                   "it again";
    case StopPoint::kNone: break;
  }
  return "interrupted after the download had ended";
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

// One reader of the download, and what its job reports.
class ReaderRun : public app::DownloadEvents {
 public:
  ReaderRun(os::ReaderDevice device, int handle, Progress*& progress, std::size_t index)
      : device(std::move(device)), progress_(progress), index_(index) {
    reader.SetPath(this->device.path);
    reader.Adopt(handle);
  }

  void SetControls(bool enable) override {
    if (!enable) start = Clock::now();
  }
  void ShowPane(const std::wstring& text, int percent) override {
    pane = text;
    if (percent >= 0) progress_->Update(index_, percent);
  }
  void ShowOpenDeviceError() override { pane = L"Open Device Error!"; }
  void Ended(const app::DownloadEnd& e) override {
    end = e;
    finish = Clock::now();
    progress_->Ended(index_, Message());
  }

  bool Ok() const {
    return (end.outcome == Outcome::kSuccess || end.outcome == Outcome::kNothingSent) &&
           !end.closeFailed;
  }
  bool Stopped() const { return end.stopPoint != StopPoint::kNone; }
  // Everything was sent, but the reader did not close (the emulated
  // reader's state was not written): the pane still says it succeeded.
  bool CloseFailedAfterSuccess() const {
    return end.closeFailed && end.outcome == Outcome::kSuccess;
  }
  // The summary's word on this reader.
  std::string Message() const {
    if (Stopped()) return Interrupted(end.stopPoint, mode);
    if (CloseFailedAfterSuccess()) return DescribeError(VANTOR_ERR_CLOSE);
    return Shown(LastLine(pane));
  }
  int ExitCode(int signal) const {
    if (Stopped()) return 128 + signal;
    if (end.outcome == Outcome::kNoReader) return kExitNoReader;
    return Ok() ? kExitOk : kExitFailed;
  }

  os::ReaderDevice device;
  app::Reader reader;
  std::wstring status;
  std::wstring pane;
  app::DownloadEnd end;
  std::uint8_t mode = 0;
  history::Facts facts;  // what the history records of this attempt
  Clock::time_point start = Clock::now();
  Clock::time_point finish = start;

 private:
  Progress*& progress_;
  std::size_t index_;
};

nlohmann::json Summary(const std::string& file, const std::vector<std::unique_ptr<ReaderRun>>& runs,
                       const std::vector<std::string>& inUse, double seconds,
                       const std::string& batch = "") {
  nlohmann::json readers = nlohmann::json::array();
  int succeeded = 0;
  for (const auto& run : runs) {
    succeeded += run->Ok() ? 1 : 0;
    nlohmann::json entry = {{"ok", run->Ok()},
                            {"seconds", SecondsBetween(run->start, run->finish)}};
    PutText(entry, "path", run->device.path);
    PutText(entry, "message", run->Message());
    PutText(entry, "serial", run->device.serial);
    PutText(entry, "usb_path", run->device.usbPath);
    entry["attempt"] = run->facts.attempt;
    if (run->Stopped()) entry["interrupted"] = true;
    readers.push_back(entry);
  }
  nlohmann::json summary = {{"readers", readers},
                            {"total", runs.size()},
                            {"succeeded", succeeded},
                            {"failed", static_cast<int>(runs.size()) - succeeded},
                            {"seconds", seconds}};
  PutText(summary, "file", file);
  if (!batch.empty()) summary["batch"] = batch;
  summary["in_use"] = nlohmann::json::array();
  for (const auto& path : inUse) {
    nlohmann::json entry;
    PutText(entry, "path", path);
    summary["in_use"].push_back(entry["path"]);
    if (entry.contains("raw")) summary["raw"]["in_use"].push_back(entry["raw"]["path"]);
  }
  return summary;
}

// The characters of UTF-8 text, which is what a column's width counts on a
// terminal: a character of several bytes is one.
std::size_t Characters(const std::string& text) {
  return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;  // not a continuation byte
  }));
}

// text with blanks after it up to width characters.
std::string Padded(std::string text, std::size_t width) {
  const std::size_t characters = Characters(text);
  if (characters < width) text.append(width - characters, ' ');
  return text;
}

void PrintTable(const std::vector<std::unique_ptr<ReaderRun>>& runs, double seconds) {
  std::size_t pathWidth = 6, resultWidth = 6;
  for (const auto& run : runs) {
    pathWidth = std::max(pathWidth, Characters(Shown(run->device.path)));
    resultWidth = std::max(resultWidth, Characters(run->Message()));
  }
  std::printf("%s  %s  %s\n", Padded("reader", pathWidth).c_str(),
              Padded("result", resultWidth).c_str(), "seconds");
  int succeeded = 0;
  for (const auto& run : runs) {
    succeeded += run->Ok() ? 1 : 0;
    std::printf("%s  %s  %7.2f\n", Padded(Shown(run->device.path), pathWidth).c_str(),
                Padded(run->Message(), resultWidth).c_str(),
                SecondsBetween(run->start, run->finish));
  }
  std::printf("%d of %zu readers succeeded, %zu failed, %.2f s\n", succeeded, runs.size(),
              runs.size() - static_cast<std::size_t>(succeeded), seconds);
}

// The pane's final text on stdout, ending with one line break.
void PrintPane(const std::wstring& pane) {
  if (pane.empty()) return;
  std::string text = ShownPane(pane);
  if (text.back() != '\n') text += '\n';
  std::fputs(text.c_str(), stdout);
}

// A download that ends before any reader: the reason on stderr, and with
// --json the summary with the reason and no readers.
int EndEarly(int code, const std::string& file, const std::string& reason, bool json) {
  if (json) {
    nlohmann::json summary = Summary(file, {}, {}, 0.0);
    PutText(summary, "error", reason);
    std::printf("%s\n", Dump(summary).c_str());
  }
  return code;
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

// The history's facts of each reader's attempt, and their started records
// as one append (all or none), before anything is sent. false with *error
// when the history cannot account for the attempts: the download must not
// start, and no attempt of it is left in the history.
bool RecordStarts(history::Appender& appender, const history::Place& place, const std::string& path,
                  const app::DownloadFile& file, bool batch,
                  std::vector<std::unique_ptr<ReaderRun>>& runs, std::string* error) {
  const std::string batchId = batch ? history::NewId() : "";
  std::vector<std::string> records;
  for (auto& run : runs) {
    run->facts = app::AttemptFacts(file, path, run->device);
    run->facts.batch = batchId;
    records.push_back(history::StartedRecord(run->facts));
  }
  return !place.on() || appender.Append(records, error);
}

// Each attempt's finished record; false with *error when one was not written.
bool RecordEnds(history::Appender& appender, const std::vector<std::unique_ptr<ReaderRun>>& runs,
                int signal, std::string* error) {
  bool written = true;
  for (const auto& run : runs) {
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(run->finish - run->start).count();
    const history::End end =
        app::AttemptEnd(run->end, ms, run->Ok(), run->Message(), run->ExitCode(signal));
    written = appender.Append(history::FinishedRecord(run->facts, end), error) && written;
  }
  return written;
}

}  // namespace

int Check(const std::string& path) {
  download::TextFile file;
  if (!file.Open(path)) {
    std::fprintf(stderr, "VantorTool: Open File Error!\n");
    std::fprintf(stderr, "vantor: %s: %s\n", Shown(path).c_str(), std::strerror(file.OpenError()));
    return kExitUsage;
  }
  try {
    std::wstring first;
    file.ReadString(first);
    std::uint8_t header[3];
    const std::uint8_t mode = download::ParseHeaderLine(first, header);
    file.SeekToBegin();
    download::LineTable table;
    download::LineError error;
    const bool ok = download::LoadLines(file, mode, table, &error);
    std::printf("mode: %u (%s)\n", mode, ModeName(mode));
    std::printf("header: %02X %02X %02X%s\n", header[0], header[1], header[2],
                mode == download::kHeaderF ? "" : " (sent only with a firmware image)");
    std::printf("lines: %zu\n", table.size());
    if (!ok) {
      std::printf("%s\n", Shown(download::LineErrorMessage(error.number)).c_str());
      std::printf("line %u: %s\n", error.physicalLine, EchoLine(error.text).c_str());
      return kExitUsage;
    }
    std::printf("ok\n");
    return kExitOk;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vantor: reading %s failed: %s\n", Shown(path).c_str(), e.what());
    return kExitUsage;
  }
}

int Download(const Selection& selection, const std::string& path, const DownloadOptions& options) {
  KeepRunningOnClosedPipe();
  // The file is checked and loaded once, and a firmware image confirmed
  // once, before any reader is touched.
  app::DownloadFile file;
  const app::LoadResult load = app::LoadDownloadFile(
      FromLocalPath(path), [&] { return ConfirmFirmware(options.assumeYes); }, &file);
  if (load.outcome != Outcome::kNone) {
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
    return EndEarly(ExitCodeFor(load.outcome), path, reason, options.json);
  }

  // The history's place is checked before any reader is touched: one that
  // cannot account for the attempts stops the download here. The file is
  // made by the first record, so a download that records nothing leaves
  // no history behind.
  const history::Place place = history::Locate(options.noHistory, false);
  history::Appender appender;
  std::string historyError = place.error;
  if (historyError.empty() && place.on()) appender.Open(place, &historyError);
  if (!historyError.empty()) {
    std::fprintf(stderr, "vantor: %s; nothing was downloaded\n", Shown(historyError).c_str());
    return EndEarly(kExitFailed, path, historyError, options.json);
  }

  // From here on a signal stops the downloads instead of the process.
  std::atomic<bool> stop{false};
  StopOnSignals signals(stop);

  // Every reader is taken before any download starts, so that a run beside
  // this one cannot take one halfway; a reader another program holds is
  // left out. One that does not open goes on to its job, which tries once
  // more and reports it as a reader that did not open.
  const auto start = Clock::now();
  Progress* progress = nullptr;
  std::vector<std::unique_ptr<ReaderRun>> runs;
  std::vector<std::string> inUse;
  if (selection.all) {
    for (auto& device : ListReaders(false)) {
      if (!device.duplicateOf.empty()) {
        std::fprintf(stderr, "vantor: %s is the same reader as %s, programmed once\n",
                     Shown(device.path).c_str(), Shown(device.duplicateOf).c_str());
        continue;
      }
      const int handle = OpenReaderAt(device.path);
      if (handle == VANTOR_ERR_BUSY) {
        std::fprintf(stderr, "vantor: reader %s is in use by another program, left out\n",
                     Shown(device.path).c_str());
        inUse.push_back(device.path);
        continue;
      }
      runs.push_back(std::make_unique<ReaderRun>(std::move(device), handle, progress, runs.size()));
    }
    if (runs.empty() && inUse.empty()) {
      std::fprintf(stderr, "vantor: no reader found (see 'vantor list')\n");
      return EndEarly(kExitNoReader, path, "no reader found", options.json);
    }
  } else {
    std::string readerPath = selection.path;
    const int handle = OpenReader(&readerPath);
    if (handle == VANTOR_ERR_NO_READER || handle == VANTOR_ERR_BUSY) {
      std::fprintf(stderr, "Info: Open Device Error!\n");
      if (!options.json) std::printf("Open Device Error!\n");
      const int code = ReportOpenFailure(handle, readerPath);
      return EndEarly(code, path, DescribeError(handle), options.json);
    }
    runs.push_back(std::make_unique<ReaderRun>(ListedReader(readerPath), handle, progress, 0));
  }

  // The history accounts for every attempt before anything is sent.
  if (!RecordStarts(appender, place, path, file, selection.all, runs, &historyError)) {
    for (auto& run : runs) run->reader.Close();
    std::fprintf(stderr, "vantor: %s; nothing was downloaded\n", Shown(historyError).c_str());
    return EndEarly(kExitFailed, path, historyError, options.json);
  }

  std::vector<std::string> shownPaths;
  for (const auto& run : runs) {
    run->mode = file.mode;
    shownPaths.push_back(Shown(run->device.path));
  }
  const int rows = TerminalRows();
  Progress board(shownPaths, selection.all, rows > 0, rows);
  progress = &board;

  std::vector<std::thread> workers;
  for (auto& run : runs) {
    workers.emplace_back([&file, &stop, r = run.get()] {
      app::DownloadJob(file, r->reader, r->status, *r, &stop).Run();
    });
  }
  for (auto& worker : workers) worker.join();
  board.Finish();
  const double seconds = SecondsBetween(start, Clock::now());
  const int signal = StopOnSignals::Caught();

  bool recorded = true;
  if (place.on()) recorded = RecordEnds(appender, runs, signal, &historyError);
  if (options.json) {
    std::printf("%s\n", Dump(Summary(path, runs, inUse, seconds,
                                     runs.empty() ? "" : runs.front()->facts.batch))
                            .c_str());
  } else if (selection.all) {
    if (!runs.empty()) PrintTable(runs, seconds);
  } else {
    const ReaderRun& run = *runs.front();
    if (run.CloseFailedAfterSuccess()) {
      // Not the pane's success line: the summary's word in its place.
      PrintPane(run.pane.substr(0, run.pane.rfind(LastLine(run.pane))));
      std::printf("%s\n", run.Message().c_str());
    } else {
      PrintPane(run.pane);
    }
    if (signal != 0) {
      std::fprintf(stderr, "vantor: %s\n", run.Message().c_str());
    } else if (run.Ok() || run.end.outcome != Outcome::kSuccess) {
      if (run.end.outcome == Outcome::kNoReader)
        ReportOpenFailure(VANTOR_ERR_NO_READER, run.device.path);
    } else {
      ReportCloseFailure();
    }
  }
  if (!recorded) std::fprintf(stderr, "vantor: %s\n", Shown(historyError).c_str());
  if (signal != 0) return 128 + signal;
  if (runs.empty()) return kExitNoReader;
  if (!recorded) return kExitFailed;
  int code = kExitOk;
  for (const auto& run : runs) code = std::max(code, run->ExitCode(0));
  return code == kExitOk ? kExitOk : selection.all ? kExitFailed : code;
}

}  // namespace vantor::cli
