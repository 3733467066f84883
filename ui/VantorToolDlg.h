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
  kNone,       // it was not stopped
  kUnchanged,  // before the reader's erase: the reader holds what it held
  kIncomplete, // after it: the reader holds part of the file
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
  bool CanClose() const { return !m_workerRunning; }

  // Data exchange: true copies the path field into the file path.
  void UpdateData(bool saveAndValidate);

  // Read access for front ends and tests.
  const std::wstring& FilePath() const { return m_filePath; }
  int ReaderHandle() const { return m_readerHandle; }
  const std::wstring& StatusText() const { return m_statusText; }
  std::uint8_t DownloadMode() const { return m_downloadMode; }
  const std::uint8_t* HeaderBytes() const { return m_headerBytes; }
  const download::LineTable& Lines() const { return m_lines; }
  Outcome LastOutcome() const { return m_outcome; }
  const download::LineError& LastLineError() const { return m_lineError; }
  // Why the download file did not open (an errno value), 0 when it did.
  int LastFileError() const { return m_fileError; }
  // The last version and file name the query read ("" when none).
  const std::wstring& LastVersion() const { return m_lastVersion; }
  const std::wstring& LastOfflineName() const { return m_lastName; }
  bool HaveVersion() const { return m_haveVersion; }

  // Closes a reader that an ended command left open (see OnDownload).
  void CloseReader();

  // Asks a running (or the next) download to stop after the exchange in
  // flight; it then ends as after a failed step. Safe from a signal handler.
  void RequestStop() { m_stopRequested.store(true, std::memory_order_relaxed); }
  StopPoint LastStopPoint() const { return m_stopPoint; }
  // Whether the last reader closed failed to close (the emulated reader:
  // its state could not be written).
  bool CloseFailed() const { return m_closeFailed; }

  // The reader the handlers open: "" for the first one that opens (the
  // window), otherwise the one at this path (as DllListReaders names it).
  void SetReaderPath(const std::string& path) { m_readerPath = path; }
  // What the last open of a reader returned: a handle, VANTOR_ERR_NO_READER
  // or VANTOR_ERR_BUSY (0 before any open).
  int LastOpenResult() const { return m_openResult; }

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
  // Converts a line for sending into m_data; false when it cannot be held.
  bool PrepareData(const std::wstring& text, std::int32_t* count);
  std::wstring FileName() const;
  bool OpenReaderIfNeeded();
  // Whether a stop was asked for; if so, records where the download ends.
  bool StopHere(StopPoint point);

  // The Download command's checks and load of m_filePath: kRunning when it
  // may be sent; *leaveOpen set for the two ends that leave the reader
  // open (the file does not open, the firmware image is declined).
  Outcome LoadFile(bool* leaveOpen);
  // The table the worker sends: its own, or the one a batch shares.
  const download::LineTable& LinesToSend() const { return m_batchLines ? *m_batchLines : m_lines; }

  WindowHost& m_host;

  // Shared window state.
  std::wstring m_filePath;
  int m_readerHandle = 0;
  std::wstring m_statusText;
  std::uint8_t m_downloadMode = 0;
  std::uint8_t m_headerBytes[3] = {0, 0, 0};
  download::LineTable m_lines;
  const download::LineTable* m_batchLines = nullptr;  // see StartLoadedDownload
  std::string m_readerPath;
  int m_openResult = 0;

  // Window thread only: set before a worker starts, cleared by its last
  // control operation.
  bool m_workerRunning = false;

  // The worker's buffers.
  // The worker's buffers: a line's code-page form with its terminator, and
  // the bytes it decodes to (two hex digits a byte, so half the line).
  char m_lineBuffer[download::kMaxLineBytes + 1] = {};
  std::uint8_t m_dataBuffer[download::kMaxLineBytes / 2 + 1] = {};

  Outcome m_outcome = Outcome::kNone;
  download::LineError m_lineError{};
  int m_fileError = 0;
  std::wstring m_lastVersion;
  std::wstring m_lastName;
  bool m_haveVersion = false;
  bool m_closeFailed = false;
  // A lock-free flag: set from a signal handler, read by the worker.
  std::atomic<bool> m_stopRequested{false};
  StopPoint m_stopPoint = StopPoint::kNone;
  static_assert(std::atomic<bool>::is_always_lock_free, "the stop flag is set by signal handlers");
};

}  // namespace vantor
