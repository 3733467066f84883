// vantor station: the file loaded once, then every reader plugged in
// programmed by the station (app/station.h); this file gives it the
// command line: a line per reader, or JSON Lines, and the running count.
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include "commands.h"
#include "download_report.h"
#include "interrupt.h"
#include "local_path.h"
#include "place.h"
#include "record.h"
#include "records.h"
#include "station.h"
#include "terminal.h"
#include "watch.h"

namespace vantor::cli {
namespace {

using app::StationEvent;
using Kind = StationEvent::Kind;

using Json = nlohmann::ordered_json;  // "event" first, as a reader of the lines expects

constexpr int kExitWatchFailed = 3;

const char* EventName(Kind kind) {
  switch (kind) {
    case Kind::kAttached: return "attached";
    case Kind::kStarted: return "started";
    case Kind::kFinished: return "finished";
    case Kind::kSkipped: return "skipped";
    case Kind::kBusy: return "busy";
    case Kind::kDetached: return "detached";
    case Kind::kSummary: break;
  }
  return "summary";
}

// The history's word on how a reader's attempt ended: success, failed, ...
const char* ResultWord(const app::ReaderResult& run) {
  return history::ResultText(app::AttemptEnd(run.end, 0, run.Ok(), "", run.exitCode).result);
}

// The time of a line: the history's form, to the second.
std::string Now() { return history::UtcNow().substr(0, 19) + "Z"; }

Json SummaryJson(const std::string& file, const app::StationResult& result) {
  Json summary = {
      {"event", "summary"},       {"time", history::UtcNow()}, {"succeeded", result.succeeded},
      {"failed", result.failed},  {"skipped", result.skipped}, {"interrupted", result.stopped},
      {"seconds", result.seconds}};
  history::SetString(summary, "file", file);
  summary["batch"] = result.batch.empty() ? Json() : Json(result.batch);
  const std::string& error = !result.watchError.empty() ? result.watchError : result.historyError;
  if (!error.empty()) history::SetString(summary, "error", error);
  return summary;
}

// The station's events on stdout, and on a terminal the running count on
// stderr, redrawn in place after each event and cleared before any other
// line is written.
class Board : public app::StationSink {
 public:
  Board(std::string file, std::uint8_t mode, bool json, std::atomic<bool>& stopWatching)
      : file_(std::move(file)),
        mode_(mode),
        json_(json),
        stopWatching_(stopWatching),
        live_(::isatty(STDERR_FILENO) != 0) {}

  bool OutputLost() const { return lost_; }

  void On(const StationEvent& event) override {
    Clear();
    const app::ReaderResult& reader = event.reader;
    if (event.kind == Kind::kFinished) ++(reader.Ok() && event.error.empty() ? done_ : failed_);
    if (event.kind == Kind::kStarted) ++running_;
    if (event.kind == Kind::kFinished && !reader.attempt.empty()) --running_;
    if (!event.error.empty()) std::fprintf(stderr, "vantor: %s\n", Shown(event.error).c_str());
    if (json_) {
      Print(history::Dump(Line(event)));
    } else {
      Plain(event);
    }
    if (event.kind != Kind::kSummary) Draw();
  }

 private:
  Json Line(const StationEvent& event) const {
    if (event.kind == Kind::kSummary) return SummaryJson(file_, event.summary);
    const app::ReaderResult& reader = event.reader;
    Json line = {{"event", EventName(event.kind)}, {"time", history::UtcNow()}};
    history::SetString(line, "path", reader.path);
    history::SetString(line, "serial", reader.serial);
    history::SetString(line, "usb_path", reader.usbPath);
    const auto id = [](const std::string& text) { return text.empty() ? Json() : Json(text); };
    switch (event.kind) {
      case Kind::kStarted:
        line["attempt"] = id(reader.attempt);
        line["batch"] = id(reader.batch);
        break;
      case Kind::kFinished:
        line["ok"] = reader.Ok() && event.error.empty();
        line["result"] = ResultWord(reader);
        history::SetString(line, "message", ReaderMessage(reader.end, mode_));
        line["failed_step"] = nullptr;
        if (!reader.end.failedStep.empty()) {
          history::SetString(line, "failed_step", ToTerminal(reader.end.failedStep));
        }
        line["seconds"] = reader.seconds;
        line["attempt"] = id(reader.attempt);
        line["batch"] = id(reader.batch);
        if (!event.error.empty()) history::SetString(line, "history_error", event.error);
        break;
      case Kind::kSkipped:
        line["done_attempt"] = event.done.attempt;
        line["done_time"] = event.done.time;
        break;
      case Kind::kBusy: line["message"] = "in use by another program"; break;
      default: break;
    }
    return line;
  }

  void Plain(const StationEvent& event) {
    const app::ReaderResult& reader = event.reader;
    const std::string who = Now() + "  " + Shown(reader.path) + "  " +
                            (reader.serial.empty() ? "-" : Shown(reader.serial)) + "  ";
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.2f s", reader.seconds);
    switch (event.kind) {
      case Kind::kFinished: Print(who + ReaderMessage(reader.end, mode_) + "  " + seconds); break;
      case Kind::kSkipped:
        Print(who + "skipped: holds this file since attempt " + event.done.attempt + " (" +
              event.done.time + ")");
        break;
      case Kind::kBusy:
        std::fprintf(stderr,
                     "vantor: reader %s is in use by another program; it is programmed "
                     "when it is free\n",
                     Shown(reader.path).c_str());
        break;
      case Kind::kSummary: {
        const app::StationResult& s = event.summary;
        char line[160];
        std::snprintf(line, sizeof line, "%d programmed, %d failed, %d skipped, %.2f s",
                      s.succeeded, s.failed, s.skipped, s.seconds);
        Print(line + (s.batch.empty() ? "" : ", batch " + s.batch));
        break;
      }
      default: break;
    }
  }

  // A line on stdout, flushed: a line controller follows it through a pipe.
  // A pipe nobody reads any longer ends the watching.
  void Print(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    if (std::fflush(stdout) == 0 && std::ferror(stdout) == 0) return;
    lost_ = true;
    stopWatching_ = true;
  }

  void Draw() {
    if (!live_) return;
    char text[120];
    if (running_ > 0) {
      std::snprintf(text, sizeof text, "%d programmed, %d failed, %d running", done_, failed_,
                    running_);
    } else {
      std::snprintf(text, sizeof text, "%d programmed, %d failed, waiting for readers...", done_,
                    failed_);
    }
    drawn_ = text;
    std::fprintf(stderr, "\r%s", drawn_.c_str());
    std::fflush(stderr);
  }

  void Clear() {
    if (drawn_.empty()) return;
    std::fprintf(stderr, "\r%s\r", std::string(drawn_.size(), ' ').c_str());
    drawn_.clear();
  }

  const std::string file_;
  const std::uint8_t mode_;
  const bool json_;
  std::atomic<bool>& stopWatching_;
  const bool live_;
  bool lost_ = false;
  int done_ = 0, failed_ = 0, running_ = 0;
  std::string drawn_;
};

}  // namespace

int Station(const std::string& path, const StationOptions& options) {
  KeepRunningOnClosedPipe();
  const auto early = [&](int code, const std::string& why) {
    if (options.json) {
      Json summary = SummaryJson(path, {});
      history::SetString(summary, "error", why);
      std::printf("%s\n", history::Dump(summary).c_str());
    }
    return code;
  };
  const history::Place place = history::Locate(options.noHistory, false);
  if (options.skipDone && !place.on() && place.error.empty()) {
    std::fprintf(stderr, "vantor: --skip-done needs the history, which is off\n");
    return early(kExitUsage, "--skip-done needs the history");
  }
  // The file is checked and loaded once, a firmware image confirmed once.
  app::DownloadFile file;
  std::string why;
  if (const auto code = LoadToSend(path, options.assumeYes, &file, &why)) {
    return early(*code, why);
  }
  std::string error;
  const std::unique_ptr<ReaderWatch> watch = WatchReaders(&error);
  if (!watch) {
    std::fprintf(stderr, "vantor: cannot watch the readers: %s\n", Shown(error).c_str());
    return early(kExitWatchFailed, error);
  }

  // From here on the first signal stops the watching, the second the
  // downloads; output that cannot be written stops the watching too.
  std::atomic<bool> stopWatching{false}, stopDownloads{false};
  StopOnSignals signals(stopWatching, &stopDownloads);
  Board board(path, file.mode, options.json, stopWatching);
  app::StationSetup setup;
  setup.place = place;
  setup.count = options.count;
  setup.skipDone = options.skipDone;
  setup.stopWatching = &stopWatching;
  setup.stopDownloads = &stopDownloads;
  setup.stopSignal = [] { return StopOnSignals::CaughtThen(); };
  app::Station station(file, std::move(setup), *watch, board);
  const app::StationResult result = station.Run();

  if (!result.watchError.empty()) {
    std::fprintf(stderr, "vantor: %s\n", Shown(result.watchError).c_str());
  } else if (!result.historyError.empty()) {
    std::fprintf(stderr, "vantor: %s; the station stopped\n", Shown(result.historyError).c_str());
  }
  if (result.stopped) return result.stopExitCode;
  if (!result.watchError.empty()) return kExitWatchFailed;
  return result.failed > 0 || !result.historyError.empty() || board.OutputLost() ? kExitFailed
                                                                                 : kExitOk;
}

}  // namespace vantor::cli
