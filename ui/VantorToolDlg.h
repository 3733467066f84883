// The main window's state and handlers, free of any toolkit: the Download
// command, the download worker, the device information query and the file
// choice, carried out by the application's jobs. Front ends forward their
// buttons here and implement WindowHost.
#pragma once

#include <cstdint>
#include <string>

#include <chrono>

#include "WindowHost.h"
#include "appender.h"
#include "download_job.h"
#include "reader.h"
#include "record.h"

namespace vantor {

using app::Outcome;

class CVantorToolDlg : private app::DownloadEvents {
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

  // Worker thread entry; param is the dialog. Returns 0 on every path.
  static unsigned DownloadThreadProc(void* param);

  // Whether the window may close now: not while a download worker runs.
  bool CanClose() const { return !workerRunning_; }

  // Data exchange: true copies the path field into the file path.
  void UpdateData(bool saveAndValidate);

  // Read access for front ends and tests.
  const std::wstring& FilePath() const { return filePath_; }
  int ReaderHandle() const { return reader_.Handle(); }
  const std::wstring& StatusText() const { return statusText_; }
  std::uint8_t DownloadMode() const { return file_.mode; }
  const std::uint8_t* HeaderBytes() const { return file_.header; }
  const download::LineTable& Lines() const { return file_.lines; }
  Outcome LastOutcome() const { return outcome_; }

  // Closes a reader that an ended command left open (see OnDownload).
  void CloseReader() { reader_.Close(); }

 private:
  // The worker's events, carried out on the window thread.
  void SetControls(bool enable) override;
  void ShowPane(const std::wstring& pane, int percent) override;
  void ShowOpenDeviceError() override;
  // The download history, when VANTOR_HISTORY names a file.
  bool Starting(const app::Reader& reader) override;
  void Ended(const app::DownloadEnd& end) override;

  // The pane and the box of a command that found no reader (window thread).
  void ShowNoReader();

  WindowHost& host_;

  // Shared window state.
  std::wstring filePath_;
  app::Reader reader_;
  std::wstring statusText_;
  app::DownloadFile file_;  // the download mode, header bytes and line table

  // Window thread only: set before a worker starts, cleared by its last
  // control operation.
  bool workerRunning_ = false;
  Outcome outcome_ = Outcome::kNone;

  // The worker's record of its attempt, when the history is on.
  history::Appender history_;
  history::Facts attempt_;
  bool recording_ = false;
  std::chrono::steady_clock::time_point started_;
};

}  // namespace vantor
