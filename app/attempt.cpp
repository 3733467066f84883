// The download attempt: the readers taken, the history's two records of
// each, and one job a reader.
#include "attempt.h"

#include <thread>

#include "local_path.h"
#include "readers.h"
#include "records.h"
#include "vantor/reader.h"

namespace vantor::app {
namespace {

using Clock = std::chrono::steady_clock;
using Kind = DownloadEvent::Kind;

constexpr int kExitFailed = 1, kExitNoReader = 3;

DownloadEvent Event(Kind kind, std::size_t reader, std::wstring pane = L"") {
  DownloadEvent event;
  event.kind = kind;
  event.reader = reader;
  event.pane = std::move(pane);
  return event;
}

}  // namespace

ReaderResult Listed(const os::ReaderDevice& device) {
  ReaderResult reader;
  reader.path = device.path;
  reader.serial = device.serial;
  reader.usbPath = device.usbPath;
  return reader;
}

// One reader of the attempt while it is taken and run.
struct Attempt::Taken {
  ReaderSlot own;
  ReaderSlot* slot = &own;
  std::wstring ownStatus;
  std::wstring* status = &ownStatus;
  history::Facts facts;
  Clock::time_point start = Clock::now();
};

// A run's events on their way to the attempt's sink: its end is recorded
// before it is told.
class Attempt::Forward : public DownloadSink {
 public:
  Forward(Attempt& attempt, std::size_t i) : attempt_(attempt), i_(i) {}
  void On(const DownloadEvent& event) override {
    if (event.kind != Kind::kRunEnded) return attempt_.Tell(event);
    DownloadEvent ended = event;
    attempt_.Finish(i_, &ended.end);
    attempt_.Tell(ended);
  }

 private:
  Attempt& attempt_;
  std::size_t i_;
};

Attempt::Attempt(const DownloadFile& file, AttemptSetup setup, DownloadSink& sink)
    : file_(file), setup_(std::move(setup)), sink_(sink) {}

Attempt::~Attempt() {
  for (auto& run : runs_) run->slot->Close();  // readers a refused attempt took
}

void Attempt::Tell(const DownloadEvent& event) {
  std::lock_guard<std::mutex> lock(sinkMutex_);
  sink_.On(event);
}

bool Attempt::EndBefore(const std::vector<DownloadEnd>& ends) {
  for (std::size_t i = 0; i < ends.size(); ++i) {
    DownloadEvent event = Event(Kind::kRunEnded, i);
    event.end = ends[i];
    Tell(event);
  }
  return false;
}

bool Attempt::Take() {
  startedAt_ = Clock::now();
  Tell(Event(Kind::kRunStarted, 0));
  // The history's place first: one that cannot account for the attempt
  // stops it before any reader is touched. Nothing is made yet: the first
  // record makes the file.
  const history::Place& place = setup_.place;
  std::string error = place.error;
  if (error.empty() && place.on()) appender_.Open(place, &error);
  if (!error.empty()) {
    result_.historyError = error;
    DownloadEnd end;
    end.outcome = Outcome::kReaderStepFailed;
    end.historyError = error;
    return EndBefore({end});
  }
  if (!(setup_.choice.all ? TakeAll() : TakeOne())) return false;
  return RecordStarts();
}

bool Attempt::TakeOne() {
  auto run = std::make_unique<Taken>();
  if (setup_.slot != nullptr) {
    run->slot = setup_.slot;
  } else {
    run->own.SetPath(setup_.choice.path);
  }
  if (setup_.statusText != nullptr) run->status = setup_.statusText;
  if (!run->slot->OpenIfNeeded()) {
    result_.noReader = true;
    result_.openResult = run->slot->LastOpenResult();
    result_.openedPath = run->slot->OpenedPath();
    Tell(Event(Kind::kNoReader, 0, L"Open Device Error!"));
    DownloadEnd end;
    end.outcome = Outcome::kNoReader;
    return EndBefore({end});
  }
  const os::ReaderDevice device = ListedReader(run->slot->OpenedPath());
  result_.readers.push_back(Listed(device));
  run->facts = AttemptFacts(file_, ToLocalPath(file_.path), device);
  run->facts.batch = setup_.batch;
  result_.readers.back().attempt = run->facts.attempt;
  result_.readers.back().batch = setup_.batch;
  result_.batch = setup_.batch;
  runs_.push_back(std::move(run));
  return true;
}

// Every reader is opened before any download starts, so that a run beside
// this one cannot take one halfway; a reader another program holds, and
// another name of a reader already listed, are left out. A reader that
// does not open is a failed reader of the attempt, never recorded.
bool Attempt::TakeAll() {
  bool held = false;
  const std::string batch = setup_.batch.empty() ? history::NewId() : setup_.batch;
  for (auto& device : ListReaders(false)) {
    if (!device.duplicateOf.empty()) {
      result_.leftOut.push_back({device.path, device.duplicateOf});
      continue;
    }
    const int handle = OpenReaderAt(device.path);
    if (handle == VANTOR_ERR_BUSY) {
      result_.leftOut.push_back({device.path, ""});
      held = true;
      continue;
    }
    auto run = std::make_unique<Taken>();
    run->own.SetPath(device.path);
    run->own.Adopt(handle);
    ReaderResult reader = Listed(device);
    if (run->own.IsOpen()) {
      run->facts = AttemptFacts(file_, ToLocalPath(file_.path), device);
      run->facts.batch = batch;
      reader.attempt = run->facts.attempt;
      reader.batch = batch;
    } else {
      reader.end.outcome = Outcome::kNoReader;
      reader.exitCode = kExitNoReader;
    }
    result_.readers.push_back(std::move(reader));
    runs_.push_back(std::move(run));
  }
  if (!runs_.empty()) result_.batch = batch;
  if (runs_.empty()) {
    result_.noReader = !held;
    DownloadEnd end;
    end.outcome = Outcome::kNoReader;
    return EndBefore({end});
  }
  return true;
}

// The started records of the readers that opened, as one append (all or
// none), before anything is sent.
bool Attempt::RecordStarts() {
  std::vector<std::string> records;
  for (std::size_t i = 0; i < runs_.size(); ++i) {
    if (!runs_[i]->slot->IsOpen()) continue;
    records.push_back(history::StartedRecord(runs_[i]->facts));
  }
  std::string error;
  if (!setup_.place.on() || records.empty() || appender_.Append(records, &error)) return true;
  result_.historyError = error;
  std::vector<DownloadEnd> ends(runs_.size());
  for (auto& end : ends) {
    end.outcome = Outcome::kReaderStepFailed;
    end.historyError = error;
  }
  for (auto& run : runs_) run->slot->Close();
  return EndBefore(ends);
}

void Attempt::Run() {
  // The readers that did not open end first, as failed readers.
  for (std::size_t i = 0; i < runs_.size(); ++i) {
    if (runs_[i]->slot->IsOpen()) continue;
    Tell(Event(Kind::kNoReader, i, L"Open Device Error!"));
    DownloadEvent ended = Event(Kind::kRunEnded, i);
    ended.end = result_.readers[i].end;
    Tell(ended);
  }
  if (runs_.size() == 1) {
    if (runs_[0]->slot->IsOpen()) RunOne(0);
  } else {
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < runs_.size(); ++i) {
      if (runs_[i]->slot->IsOpen()) threads.emplace_back([this, i] { RunOne(i); });
    }
    for (auto& thread : threads) thread.join();
  }
  result_.seconds = std::chrono::duration<double>(Clock::now() - startedAt_).count();
}

void Attempt::RunOne(std::size_t i) {
  Taken& run = *runs_[i];
  run.start = Clock::now();
  Forward forward(*this, i);
  DownloadJob(file_, *run.slot, *run.status, forward, setup_.stop, i).Run();
}

// A run's end: its result, exit code and finished record. A record that
// is not written is told with the end, and fails the attempt.
void Attempt::Finish(std::size_t i, DownloadEnd* end) {
  Taken& run = *runs_[i];
  ReaderResult& reader = result_.readers[i];
  const Clock::duration took = Clock::now() - run.start;
  reader.end = *end;
  reader.seconds = std::chrono::duration<double>(took).count();
  reader.exitCode = reader.Stopped() ? 128 + (setup_.stopSignal ? setup_.stopSignal() : 0)
                    : end->outcome == Outcome::kNoReader ? kExitNoReader
                    : reader.Ok()                        ? 0
                                                         : kExitFailed;
  if (!setup_.place.on() || end->outcome == Outcome::kNoReader) return;
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(took).count();
  const history::End recorded =
      AttemptEnd(*end, ms, reader.Ok(), ToTerminal(end->failedStep), reader.exitCode);
  std::string error;
  if (appender_.Append(history::FinishedRecord(run.facts, recorded), &error)) return;
  end->historyError = error;
  reader.end.historyError = error;
  std::lock_guard<std::mutex> lock(errorMutex_);
  if (result_.finishedError.empty()) result_.finishedError = error;
}

AttemptResult RunAttempt(const DownloadFile& file, AttemptSetup setup, DownloadSink& sink) {
  Attempt attempt(file, std::move(setup), sink);
  if (attempt.Take()) attempt.Run();
  return attempt.Result();
}

}  // namespace vantor::app
