// The station: the loaded file downloaded into every reader as it is
// plugged in, each through a download attempt of its own, on a thread of
// its own, while the watch tells which readers come and go. A reader that
// stays attached is served once; unplugged and plugged in again, it is
// served again. What happens is told as events.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "attempt.h"
#include "place.h"
#include "query.h"
#include "watch.h"

namespace vantor::app {

struct StationSetup {
  history::Place place;  // where the history is, as the caller located it
  std::string batch;     // the batch the station's attempts share; "" for a new one
  long count = 0;        // end after this many successful downloads; 0: never
  // A reader whose serial number already has a successful attempt with
  // this file in the history is not downloaded into.
  bool skipDone = false;
  // Set: no more readers are watched or started; the running downloads
  // finish and the station ends.
  const std::atomic<bool>* stopWatching = nullptr;
  // Set: the running downloads end after the exchange in flight, as a
  // download that was asked to stop.
  const std::atomic<bool>* stopDownloads = nullptr;
  std::function<int()> stopSignal;  // the signal that stopped the downloads, for the exit code
  // How often a reader another program holds is tried again.
  std::chrono::milliseconds busyRetry{500};
};

struct StationResult {
  int succeeded = 0, failed = 0, skipped = 0;
  bool stopped = false;      // a stop cut a running download
  int stopExitCode = 0;      // that download's exit code (128 + signal)
  std::string batch;         // the station's attempts' batch
  std::string watchError;    // the watch could not go on
  std::string historyError;  // the history could not record an attempt
  double seconds = 0;
};

struct StationEvent {
  enum class Kind {
    kAttached,  // a reader was plugged in
    kStarted,   // its attempt took it: the attempt's ids
    kFinished,  // its attempt ended: reader holds the result
    kSkipped,   // it holds the file already: done names the attempt that put it there
    kBusy,      // another program holds it: tried again when it is free
    kDetached,  // it was unplugged
    kSummary,   // the station ended: summary
  };
  Kind kind = Kind::kAttached;
  // The reader as listed (path, serial, USB port); with kStarted and
  // kFinished also the attempt, its batch, and with kFinished its end.
  ReaderResult reader;
  history::Done done;  // kSkipped
  std::string error;   // kFinished: why the history did not record its end
  StationResult summary;
};

class StationSink {
 public:
  virtual ~StationSink() = default;
  // Called on the station's thread or on a reader's, one event at a time.
  virtual void On(const StationEvent& event) = 0;
};

class Station {
 public:
  Station(const DownloadFile& file, StationSetup setup, ReaderWatch& watch, StationSink& sink);
  ~Station();
  Station(const Station&) = delete;
  Station& operator=(const Station&) = delete;

  // Checks the history's place (one that cannot record stops the station
  // before any reader is touched), then serves the readers until it is
  // stopped, the count is reached, the watch fails or the history cannot
  // record; joins the running downloads and tells the summary.
  StationResult Run();

 private:
  struct Reader;
  enum class Ending;
  using Clock = std::chrono::steady_clock;

  void Apply(const std::vector<PlugEvent>& events);
  void Reap();
  void StartDue();
  void Serve(Reader& reader);
  bool CountReached() const;
  void Tell(const StationEvent& event);

  const DownloadFile& file_;
  StationSetup setup_;
  ReaderWatch& watch_;
  StationSink& sink_;
  StationResult result_;
  // The readers attached, and those unplugged whose download still runs;
  // nothing else is kept.
  std::map<std::string, std::unique_ptr<Reader>> readers_;
  int running_ = 0;
  std::mutex sinkMutex_;
};

}  // namespace vantor::app
