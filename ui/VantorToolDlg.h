// The main window's state and handlers, free of any toolkit: the Download
// command, the download worker, the device information query and the file
// choice. Front ends forward their buttons here and implement WindowHost.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "loader.h"
#include "WindowHost.h"

namespace vantor {

// How the last operation ended, for front ends that report it (the command
// line's exit code, --json).
enum class Outcome {
  kNone,
  kRunning,           // a worker was started and has not ended
  kSuccess,           // "Download SUCCESS!" or the device information shown
  kNothingSent,       // download mode 2: the run ended without sending
  kReaderStepFailed,  // a reader command failed
  kNoReader,          // "Open Device Error!"
  kNoFile,            // "Please Open File !"
  kFileError,         // the file could not be opened or read, or its name is too long
  kLineError,         // "File %d Line Error,Please Check!"
  kDeclined,          // firmware download not confirmed
};

// Where a download that was asked to stop ended.
enum class StopPoint {
  kNone,        // it was not stopped
  kUnchanged,   // before the reader's erase: the reader holds what it held
  kIncomplete,  // after it: the reader holds part of the file
};

class CVantorToolDlg {
 public:
  explicit CVantorToolDlg(WindowHost& host);
  CVantorToolDlg(const CVantorToolDlg&) = delete;
  CVantorToolDlg& operator=(const CVantorToolDlg&) = delete;

  // Window start: reader handle and download mode 0, path field filled.
  void OnInitDialog();

  // Button handlers, window thread.
  void OnOpenFile();
  void OnDownload();
  void OnGetDeviceInfo();

  // The header line to the download mode; sets the header bytes.
  std::uint8_t ParseHeaderLine(std::wstring line);

  // Worker thread entry; param is the dialog. Returns 0 on every path.
  static unsigned DownloadThreadProc(void* param);

  // Whether the window may close now: not while a download worker runs.
  bool CanClose() const { return !workerRunning_; }

  // Data exchange: true copies the path field into the file path.
  void UpdateData(bool saveAndValidate);

  // Read access for front ends and tests.
  const std::wstring& FilePath() const { return filePath_; }
  int ReaderHandle() const { return readerHandle_; }
  const std::wstring& StatusText() const { return statusText_; }
  std::uint8_t DownloadMode() const { return downloadMode_; }
  const std::uint8_t* HeaderBytes() const { return headerBytes_; }
  const download::LineTable& Lines() const { return lines_; }
  Outcome LastOutcome() const { return outcome_; }
  const download::LineError& LastLineError() const { return lineError_; }
  // Why the download file did not open (an errno value), 0 when it did.
  int LastFileError() const { return fileError_; }
  // The last version and file name the query read ("" when none).
  const std::wstring& LastVersion() const { return lastVersion_; }
  const std::wstring& LastOfflineName() const { return lastName_; }
  bool HaveVersion() const { return haveVersion_; }

  // Closes a reader that an ended command left open (see OnDownload).
  void CloseReader();

  // Asks a running (or the next) download to stop after the exchange in
  // flight; it then ends as after a failed step. Safe from a signal handler.
  void RequestStop() { stopRequested_.store(true, std::memory_order_relaxed); }
  StopPoint LastStopPoint() const { return stopPoint_; }
  // Whether the last reader closed failed to close (the emulated reader:
  // its state could not be written).
  bool CloseFailed() const { return closeFailed_; }

  // The reader the handlers open: "" for the first one that opens (the
  // window), otherwise the one at this path (as DllListReaders names it).
  void SetReaderPath(const std::string& path) { readerPath_ = path; }
  // What the last open of a reader returned: a handle, VANTOR_ERR_NO_READER
  // or VANTOR_ERR_BUSY (0 before any open).
  int LastOpenResult() const { return openResult_; }

  // The download into several readers at once. LoadDownload checks and
  // loads the path field's file as the Download command does, with its
  // texts and its firmware question, but touches no reader; kRunning when
  // the file may be sent. StartLoadedDownload then starts this dialog's
  // worker on readerHandle (which the dialog closes when the worker ends)
  // with what loaded loaded; loaded must outlive the worker.
  Outcome LoadDownload();
  void StartLoadedDownload(const CVantorToolDlg& loaded, int readerHandle);

 private:
  void RunDownload();
  // Each returns false after a failing step, whose text the pane shows.
  bool DownloadFirmware();
  bool DownloadOfflineData();
  // Status text += text, then the pane shows the status text.
  void AppendStatus(const std::wstring& text);
  // Appends text to the status and returns false.
  bool FailWith(const std::wstring& text);
  void ShowPane(const std::wstring& text);
  void ShowProgress(std::uint32_t key);
  void SetControls(bool enable);
  // Converts a line for sending into data_; false when it cannot be held.
  bool PrepareData(const std::wstring& text, std::int32_t* count);
  std::wstring FileName() const;
  bool OpenReaderIfNeeded();
  // The pane and the box of a command that found no reader (window thread).
  void ShowOpenDeviceError();
  // Whether a stop was asked for; if so, records where the download ends.
  bool StopHere(StopPoint point);

  // The Download command's checks and load of filePath_: kRunning when it
  // may be sent; *leaveOpen set for the two ends that leave the reader
  // open (the file does not open, the firmware image is declined).
  Outcome LoadFile(bool* leaveOpen);
  // The table the worker sends: its own, or the one a batch shares.
  const download::LineTable& LinesToSend() const { return batchLines_ ? *batchLines_ : lines_; }

  WindowHost& host_;

  // Shared window state.
  std::wstring filePath_;
  int readerHandle_ = 0;
  std::wstring statusText_;
  std::uint8_t downloadMode_ = 0;
  std::uint8_t headerBytes_[3] = {0, 0, 0};
  download::LineTable lines_;
  const download::LineTable* batchLines_ = nullptr;  // see StartLoadedDownload
  std::string readerPath_;
  int openResult_ = 0;

  // Window thread only: set before a worker starts, cleared by its last
  // control operation.
  bool workerRunning_ = false;

  // The worker's buffers.
  // The worker's buffers: a line's code-page form with its terminator, and
  // the bytes it decodes to (two hex digits a byte, so half the line).
  char lineBuffer_[download::kMaxLineBytes + 1] = {};
  std::uint8_t dataBuffer_[download::kMaxLineBytes / 2 + 1] = {};

  Outcome outcome_ = Outcome::kNone;
  download::LineError lineError_{};
  int fileError_ = 0;
  std::wstring lastVersion_;
  std::wstring lastName_;
  bool haveVersion_ = false;
  bool closeFailed_ = false;
  // A lock-free flag: set from a signal handler, read by the worker.
  std::atomic<bool> stopRequested_{false};
  StopPoint stopPoint_ = StopPoint::kNone;
  static_assert(std::atomic<bool>::is_always_lock_free, "the stop flag is set by signal handlers");
};

}  // namespace vantor
