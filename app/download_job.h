// The download as a job that knows no window: the file check and load,
// then the download sequence into one reader, reported as events. The
// window runs it on its worker thread; the command line runs one per
// reader.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "loader.h"
#include "outcome.h"
#include "reader.h"

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

// What a download tells its host as it goes; called on the run's thread.
class DownloadEvents {
 public:
  virtual ~DownloadEvents() = default;
  // The controls a run disables at its start and enables at its end.
  virtual void SetControls(bool enable) = 0;
  // The pane's whole text; percent >= 0 when it ends in that percentage.
  virtual void ShowPane(const std::wstring& pane, int percent) = 0;
  // No reader opened: the pane and a box say "Open Device Error!".
  virtual void ShowOpenDeviceError() = 0;
  // The reader is open and nothing was sent yet (the history's started
  // record goes here); false ends the run at once, as a failure.
  virtual bool Starting(const Reader& /*reader*/) { return true; }
  // The run has ended and the reader is closed; the controls are enabled
  // right after.
  virtual void Ended(const struct DownloadEnd& /*end*/) {}
};

// How a run ended.
struct DownloadEnd {
  Outcome outcome = Outcome::kNone;
  StopPoint stopPoint = StopPoint::kNone;
  std::size_t recordsSent = 0;  // lines the reader accepted
  std::wstring failedStep;      // the failing step's text, without its line break
  bool closeFailed = false;
};

class DownloadJob {
 public:
  // statusText is the shared status text the run empties and appends to;
  // reader is opened if it is not open and closed at the end; a set stop
  // flag ends the run after the exchange in flight.
  DownloadJob(const DownloadFile& file, Reader& reader, std::wstring& statusText,
              DownloadEvents& events, const std::atomic<bool>* stop = nullptr);

  // The whole download, on the calling thread.
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
  Reader& reader_;
  std::wstring& statusText_;
  DownloadEvents& events_;
  const std::atomic<bool>* stop_;
  DownloadEnd end_;
  // A line's code-page form with its terminator, and the bytes it decodes
  // to (two hex digits a byte, so half the line).
  char lineBuffer_[download::kMaxLineBytes + 1] = {};
  std::uint8_t dataBuffer_[download::kMaxLineBytes / 2 + 1] = {};
};

}  // namespace vantor::app
