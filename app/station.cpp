// The station: a map of the readers attached (and of those unplugged while
// their download runs), the watch's events applied to it, and one attempt
// thread per reader served.
#include "station.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <thread>

#include "appender.h"
#include "readers.h"
#include "record.h"
#include "vantor/reader.h"

namespace vantor::app {
namespace {

using Clock = std::chrono::steady_clock;

// How long a wait for the watch lasts at most: how soon a download that
// ended, a stop or a held reader's next try is seen.
constexpr int kWaitMs = 100;

// The attempt's own events are not the station's.
class Quiet : public DownloadSink {
 public:
  void On(const DownloadEvent&) override {}
};

}  // namespace

// How a reader's thread ended.
enum class Station::Ending { kNone, kRan, kBusy, kSkipped, kNoReader, kHistoryRefused };

struct Station::Reader {
  enum class State {
    kWaiting,  // to be served (from due on)
    kRunning,  // its thread runs
    kDone,     // served: not again until it is plugged in again
  };
  os::ReaderDevice device;  // as listed when it was plugged in
  os::ReaderDevice next;    // replugged: as listed then, for its next turn
  bool attached = true;
  bool replugged = false;  // unplugged and plugged in again while its thread ran
  bool busyTold = false;
  State state = State::kWaiting;
  Clock::time_point due = Clock::now();
  std::thread thread;
  // Written by the thread before ended is set.
  std::atomic<bool> ended{false};
  Ending ending = Ending::kNone;
  bool ok = false;
  ReaderResult run;
  std::string historyError;
};

Station::Station(const DownloadFile& file, StationSetup setup, ReaderWatch& watch,
                 StationSink& sink)
    : file_(file), setup_(std::move(setup)), watch_(watch), sink_(sink) {}

Station::~Station() {
  for (auto& [path, reader] : readers_) {
    if (reader->thread.joinable()) reader->thread.join();
  }
}

void Station::Tell(const StationEvent& event) {
  std::lock_guard<std::mutex> lock(sinkMutex_);
  sink_.On(event);
}

bool Station::CountReached() const { return setup_.count > 0 && result_.succeeded >= setup_.count; }

// The events of one wait, by reader: what a reader did in between (plugged
// in and out a thousand times) comes down to whether it is attached at the
// end and whether it was unplugged on the way.
void Station::Apply(const std::vector<PlugEvent>& events) {
  struct Net {
    bool attached, unplugged = false;
  };
  std::map<std::string, Net> nets;
  for (const PlugEvent& event : events) {
    const auto known = readers_.find(event.path);
    auto it = nets.find(event.path);
    if (it == nets.end()) {
      const bool attached = known != readers_.end() && known->second->attached;
      it = nets.emplace(event.path, Net{attached}).first;
    }
    Net& net = it->second;
    if (event.kind == PlugEvent::Kind::kDetached) {
      net.unplugged = net.unplugged || net.attached;
      net.attached = false;
    } else {
      net.attached = true;
    }
  }
  std::vector<os::ReaderDevice> listed;
  bool listedOnce = false;
  for (const auto& [path, net] : nets) {
    auto it = readers_.find(path);
    Reader* reader = it == readers_.end() ? nullptr : it->second.get();
    const bool wasAttached = reader != nullptr && reader->attached;
    const bool out = wasAttached && net.unplugged;
    const bool in = net.attached && (!wasAttached || net.unplugged);
    if (out) {
      StationEvent event;
      event.kind = StationEvent::Kind::kDetached;
      event.reader = Listed(reader->device);
      Tell(event);
      reader->attached = false;
      if (reader->state != Reader::State::kRunning) {
        readers_.erase(it);
        reader = nullptr;
      }
    }
    if (!in) continue;
    if (!listedOnce) {
      listed = ListReaders(false);
      listedOnce = true;
    }
    os::ReaderDevice device;
    device.path = path;
    for (const auto& entry : listed) {
      if (entry.path == path) device = entry;
    }
    if (reader == nullptr) {
      reader = readers_.emplace(path, std::make_unique<Reader>()).first->second.get();
      reader->device = device;
    } else {
      reader->replugged = true;  // its thread runs: served again after it
      reader->next = device;
    }
    reader->attached = true;
    // Another name of a reader listed before it: that one is served.
    if (!device.duplicateOf.empty() && reader->state == Reader::State::kWaiting) {
      reader->state = Reader::State::kDone;
    }
    StationEvent event;
    event.kind = StationEvent::Kind::kAttached;
    event.reader = Listed(device);
    Tell(event);
  }
}

// The threads that ended: joined, counted, and their readers made ready for
// what comes next.
void Station::Reap() {
  for (auto it = readers_.begin(); it != readers_.end();) {
    Reader& reader = *it->second;
    if (reader.state != Reader::State::kRunning || !reader.ended.load()) {
      ++it;
      continue;
    }
    if (reader.thread.joinable()) reader.thread.join();
    reader.ended = false;
    --running_;
    reader.state = Reader::State::kDone;
    switch (reader.ending) {
      case Ending::kRan:
        ++(reader.ok ? result_.succeeded : result_.failed);
        if (reader.run.Stopped() && !result_.stopped) {
          result_.stopped = true;
          result_.stopExitCode = reader.run.exitCode;
        }
        break;
      case Ending::kNoReader: ++result_.failed; break;
      case Ending::kSkipped: ++result_.skipped; break;
      case Ending::kBusy:
        reader.state = Reader::State::kWaiting;
        reader.due = Clock::now() + setup_.busyRetry;
        if (!reader.busyTold) {
          StationEvent event;
          event.kind = StationEvent::Kind::kBusy;
          event.reader = Listed(reader.device);
          Tell(event);
          reader.busyTold = true;
        }
        break;
      case Ending::kHistoryRefused:
      case Ending::kNone: break;
    }
    if (!reader.historyError.empty() && result_.historyError.empty()) {
      result_.historyError = reader.historyError;
    }
    if (reader.replugged && reader.attached) {
      reader.replugged = false;
      reader.busyTold = false;
      reader.device = reader.next;
      reader.state = Reader::State::kWaiting;
      reader.due = Clock::now();
    }
    if (!reader.attached) {
      it = readers_.erase(it);
    } else {
      ++it;
    }
  }
}

// The readers waiting whose time has come, as far as the count allows: no
// attempt starts that could take the successes beyond it.
void Station::StartDue() {
  const Clock::time_point now = Clock::now();
  for (auto& [path, reader] : readers_) {
    if (reader->state != Reader::State::kWaiting || reader->due > now) continue;
    if (setup_.count > 0 && result_.succeeded + running_ >= setup_.count) return;
    reader->state = Reader::State::kRunning;
    reader->ending = Ending::kNone;
    reader->historyError.clear();
    ++running_;
    Reader* served = reader.get();
    reader->thread = std::thread([this, served] { Serve(*served); });
  }
}

// One reader's turn, on its thread: skipped when it holds the file already,
// otherwise one attempt.
void Station::Serve(Reader& reader) {
  struct Ended {
    std::atomic<bool>& flag;
    ~Ended() { flag.store(true); }
  } ended{reader.ended};
  const os::ReaderDevice& device = reader.device;
  if (setup_.skipDone && !device.serial.empty()) {
    std::string refusal;
    if (std::FILE* history = history::OpenForReading(setup_.place.file, &refusal)) {
      StationEvent event;
      bool readFailed = false;
      const bool done =
          history::FindDone(history, device.serial, file_.sha256, &event.done, &readFailed);
      std::fclose(history);
      if (done) {
        event.kind = StationEvent::Kind::kSkipped;
        event.reader = Listed(device);
        Tell(event);
        reader.ending = Ending::kSkipped;
        return;
      }
    }
  }
  AttemptSetup setup;
  setup.choice = {false, device.path};
  setup.place = setup_.place;
  setup.stop = setup_.stopDownloads;
  setup.stopSignal = setup_.stopSignal;
  setup.batch = result_.batch;
  Quiet quiet;
  Attempt attempt(file_, std::move(setup), quiet);
  if (!attempt.Take()) {
    const AttemptResult& result = attempt.Result();
    reader.historyError = result.historyError;
    reader.ending = !result.historyError.empty()           ? Ending::kHistoryRefused
                    : result.openResult == VANTOR_ERR_BUSY ? Ending::kBusy
                                                           : Ending::kNoReader;
    if (reader.ending != Ending::kNoReader) return;
    // It did not open (it went, or this user may not open it): a failed
    // attempt, never recorded.
    StationEvent event;
    event.kind = StationEvent::Kind::kFinished;
    event.reader = Listed(device);
    event.reader.end.outcome = Outcome::kNoReader;
    event.reader.exitCode = 3;
    Tell(event);
    return;
  }
  StationEvent started;
  started.kind = StationEvent::Kind::kStarted;
  started.reader = attempt.Readers().front();
  Tell(started);
  attempt.Run();
  const AttemptResult& result = attempt.Result();
  reader.run = result.readers.front();
  reader.ok = reader.run.Ok() && result.finishedError.empty();
  reader.historyError = result.finishedError;
  reader.ending = Ending::kRan;
  StationEvent finished;
  finished.kind = StationEvent::Kind::kFinished;
  finished.reader = reader.run;
  finished.error = result.finishedError;
  Tell(finished);
}

StationResult Station::Run() {
  const Clock::time_point start = Clock::now();
  result_.batch = setup_.batch.empty() ? history::NewId() : setup_.batch;
  // The history's place first: one that cannot record stops the station
  // before any reader is touched. Nothing is made yet.
  std::string error = setup_.place.error;
  if (error.empty() && setup_.place.on()) history::Appender().Open(setup_.place, &error);
  const auto stopping = [this] {
    const auto set = [](const std::atomic<bool>* flag) { return flag != nullptr && flag->load(); };
    return set(setup_.stopWatching) || set(setup_.stopDownloads) || CountReached() ||
           !result_.historyError.empty();
  };
  if (!error.empty()) {
    result_.historyError = error;
  } else {
    std::vector<PlugEvent> events;
    for (;;) {
      Reap();
      if (stopping()) break;
      StartDue();
      events.clear();
      std::string why;
      if (!watch_.Wait(kWaitMs, &events, &why)) {
        result_.watchError = why.empty() ? "the watch of the readers failed" : why;
        break;
      }
      Apply(events);
    }
  }
  // The running downloads end as they do (or as the second stop makes them).
  for (auto& [path, reader] : readers_) {
    if (reader->state == Reader::State::kRunning) reader->thread.join();
  }
  Reap();
  result_.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  StationEvent summary;
  summary.kind = StationEvent::Kind::kSummary;
  summary.summary = result_;
  Tell(summary);
  return result_;
}

}  // namespace vantor::app
