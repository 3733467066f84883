// A download attempt: the loaded file sent to one reader or to every
// attached one, with the history's account of it. The attempt takes the
// readers, records each one's start before anything is sent, runs one
// download job per reader (a thread each), records each end, and tells
// what happened as events and as its result. The window and the command
// line both download through it; no history record is written elsewhere.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "download_job.h"
#include "appender.h"
#include "os.h"
#include "place.h"
#include "reader_slot.h"

namespace vantor::app {

// Which readers an attempt takes.
struct ReaderChoice {
  bool all = false;  // every attached reader
  std::string path;  // one reader: its path, "" for the first free one
};

// What an attempt needs besides the file and its event sink.
struct AttemptSetup {
  ReaderChoice choice;
  history::Place place;                     // where the history is, as the caller located it
  const std::atomic<bool>* stop = nullptr;  // set: the runs end after the exchange in flight
  std::function<int()> stopSignal;          // the signal that asked to stop, for the exit code
  // The batch its readers join (a station's attempts share one); "": one
  // reader is in none, all makes a new one.
  std::string batch;
  // One reader: the caller's slot and status text (the window shows both);
  // null for the attempt's own.
  ReaderSlot* slot = nullptr;
  std::wstring* statusText = nullptr;
};

// One reader's part of the attempt.
struct ReaderResult {
  std::string path, serial, usbPath;  // the reader as listed
  DownloadEnd end;                    // outcome, stop point, records sent, failed step, close
  int exitCode = 1;                   // 0 ok, 1 failed, 3 did not open, 128 + signal stopped
  double seconds = 0;                 // its run, from start to end
  // The history's ids (made with the history off too); "" for a reader
  // that did not open, which is never recorded.
  std::string attempt, batch;

  bool Ok() const {
    return (end.outcome == Outcome::kSuccess || end.outcome == Outcome::kNothingSent) &&
           !end.closeFailed;
  }
  bool Stopped() const { return end.stopPoint != StopPoint::kNone; }
};

// The reader as listed, before its attempt: path, serial number, USB port.
ReaderResult Listed(const os::ReaderDevice& device);

// A reader not taken: another program holds it (duplicateOf ""), or it is
// another name of a reader taken (duplicateOf names that one).
struct LeftOut {
  std::string path, duplicateOf;
};

struct AttemptResult {
  // The readers taken, in the listed order; with all, those that did not
  // open too (outcome kNoReader, never recorded).
  std::vector<ReaderResult> readers;
  std::vector<LeftOut> leftOut;
  std::string batch;  // the batch id its readers share: all's, or the one given
  // One reader that did not open: what the open returned and the reader it
  // concerned (the one held by another program, "" when none was found).
  bool noReader = false;  // also: all found no reader attached at all
  int openResult = 0;
  std::string openedPath;
  // The history refused the attempt (its place, or the started records):
  // nothing was sent. The readers are closed again.
  std::string historyError;
  // A finished record that could not be written (the downloads did run).
  std::string finishedError;
  double seconds = 0;  // from the taking of the readers to the last end
};

class Attempt {
 public:
  Attempt(const DownloadFile& file, AttemptSetup setup, DownloadSink& sink);
  ~Attempt();
  Attempt(const Attempt&) = delete;
  Attempt& operator=(const Attempt&) = delete;

  // Tells kRunStarted, checks the history's place, takes the readers (every
  // one opened before any download starts) and records their starts as one
  // append. false when no download can start (Result() says why); a kRunEnded
  // has then ended the run, after kNoReader for one reader that did not open.
  bool Take();
  // The readers taken, with their identities, before Run.
  const std::vector<ReaderResult>& Readers() const { return result_.readers; }
  // The downloads, one thread a reader (one reader: the calling thread),
  // each one's finished record written before its kRunEnded is told.
  void Run();
  const AttemptResult& Result() const { return result_; }

 private:
  struct Taken;
  class Forward;
  // A kRunEnded for each of ends (reader 0 when nothing was taken): the
  // attempt ends before any download; false.
  bool EndBefore(const std::vector<DownloadEnd>& ends);
  bool TakeAll();
  bool TakeOne();
  bool RecordStarts();
  void RunOne(std::size_t i);
  void Finish(std::size_t i, DownloadEnd* end);
  void Tell(const DownloadEvent& event);

  const DownloadFile& file_;
  AttemptSetup setup_;
  DownloadSink& sink_;
  AttemptResult result_;
  history::Appender appender_;
  std::vector<std::unique_ptr<Taken>> runs_;
  std::mutex sinkMutex_;   // one event at a time reaches the sink
  std::mutex errorMutex_;  // result_.finishedError, between the runs
  std::chrono::steady_clock::time_point startedAt_;
};

// Take, then Run when the readers were taken.
AttemptResult RunAttempt(const DownloadFile& file, AttemptSetup setup, DownloadSink& sink);

}  // namespace vantor::app
