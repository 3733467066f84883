// The download as a job that knows no window: the file check and load,
// then the download sequence into one reader, reported as events. The
// download attempt (attempt.h) runs one per reader, for the window and the
// command line alike.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "loader.h"
#include "outcome.h"
#include "reader_slot.h"

namespace vantor::app {

// A checked and loaded download file, shared read-only by the runs.
struct DownloadFile {
  std::wstring path;
  std::uint8_t mode = 0;  // download::kHeaderNone, kHeaderF or kHeaderE
  std::uint8_t header[3] = {0, 0, 0};
  download::LineTable lines;
  // The SHA-256 (hex) and the number of the bytes loaded: the whole file as
  // this load read it.
  std::string sha256;
  std::uint64_t size = 0;

  // The part of the path after its last separator, as shown and sent.
  std::wstring Name() const;
};

// What the check and load found.
struct LoadResult {
  Outcome outcome = Outcome::kNone;  // kNone: the file may be sent
  bool opened = false;               // the file opened (a declined image did too)
  std::wstring message;              // the application box's text, "" for none
  download::LineError lineError{};   // with kLineError
  int fileError = 0;                 // errno of a file that did not open
  std::string readError;             // why reading the file failed
};

// The Download command's checks and load of path into *file: the file must
// open, its header decides the mode (and the header bytes, kept in *file
// even when the image is declined), a firmware image must be confirmed,
// every line must pass, a script's file name must fit the reader. The
// table is only replaced once the question is answered.
LoadResult LoadDownloadFile(const std::wstring& path, const std::function<bool()>& confirmFirmware,
                            DownloadFile* file);

// How a run ended.
struct DownloadEnd {
  Outcome outcome = Outcome::kNone;
  StopPoint stopPoint = StopPoint::kNone;
  std::size_t recordsSent = 0;  // lines the reader accepted
  std::wstring failedStep;      // the failing step's text, without its line break
  bool closeFailed = false;
  // The history could not record the attempt: its started record (then
  // nothing was sent) or its finished one. "" when it could.
  std::string historyError;
};

// What happened in a download, told to its host as it happens, on the
// thread of the reader's run.
struct DownloadEvent {
  enum class Kind {
    kRunStarted,  // the attempt began: nothing is taken or sent yet
    kNoReader,    // the reader did not open ("Open Device Error!")
    kStatus,      // the pane's text changed: pane
    kSent,        // a record or block was accepted: count of total, percent, pane
    kRunEnded,    // the reader's run is over and the reader closed: end
  };
  Kind kind = Kind::kStatus;
  std::size_t reader = 0;  // the reader's place in the attempt
  std::wstring pane;       // the pane's whole text, as it must show
  std::size_t count = 0;   // kSent: records or blocks sent so far
  std::size_t total = 0;   // kSent: lines in the table
  int percent = -1;        // kSent: the percentage the pane ends in
  DownloadEnd end;         // kRunEnded
};

class DownloadSink {
 public:
  virtual ~DownloadSink() = default;
  virtual void On(const DownloadEvent& event) = 0;
};

class DownloadJob {
 public:
  // statusText is the shared status text the run empties and appends to;
  // reader is opened if it is not open and closed at the end; a set stop
  // flag ends the run after the exchange in flight; index is the reader's
  // place in its attempt, as the events give it.
  DownloadJob(const DownloadFile& file, ReaderSlot& reader, std::wstring& statusText,
              DownloadSink& sink, const std::atomic<bool>* stop = nullptr, std::size_t index = 0);

  // The whole download, on the calling thread: the status and sent events,
  // kNoReader when the reader does not open, kRunEnded last of all.
  void Run();
  const DownloadEnd& End() const { return end_; }

 private:
  bool DownloadFirmware();
  bool DownloadOfflineData();
  void AppendStatus(const std::wstring& text);
  bool FailWith(const std::wstring& text);
  void ShowProgress(std::uint32_t key);
  bool PrepareData(const std::wstring& text, std::int32_t* count);
  bool StopHere(StopPoint point);

  const DownloadFile& file_;
  void Emit(DownloadEvent::Kind kind, std::wstring pane = L"", int percent = -1);

  ReaderSlot& reader_;
  std::wstring& statusText_;
  DownloadSink& sink_;
  const std::atomic<bool>* stop_;
  std::size_t index_;
  DownloadEnd end_;
  // A line's code-page form with its terminator, and the bytes it decodes
  // to (two hex digits a byte, so half the line).
  char lineBuffer_[download::kMaxLineBytes + 1] = {};
  std::uint8_t dataBuffer_[download::kMaxLineBytes / 2 + 1] = {};
};

}  // namespace vantor::app
