// The window's handlers: window start, data exchange, the file choice, the
// Download command with its worker, and the device information query. The
// work itself is the application's jobs; this file gives them the window.
#include "VantorToolDlg.h"

#include <exception>

#include "attempt.h"
#include "info_query.h"
#include "local_path.h"
#include "scope_guard.h"

namespace vantor {

CVantorToolDlg::CVantorToolDlg(WindowHost& host) : host_(host) {}

void CVantorToolDlg::OnInitDialog() {
  UpdateData(false);
  reader_.Adopt(0);
  file_.mode = 0;
}

void CVantorToolDlg::UpdateData(bool saveAndValidate) {
  if (saveAndValidate) {
    filePath_ = host_.GetPathFieldText();
  } else {
    host_.SetPathFieldText(filePath_);
  }
}

void CVantorToolDlg::ShowNoReader() {
  const std::wstring message = L"Open Device Error!";
  host_.SetPaneText(message);
  host_.ShowMessageBox(message, L"Info", kMbOk);
}

void CVantorToolDlg::OnOpenFile() {
  if (workerRunning_) return;
  UpdateData(true);
  std::wstring chosen;
  if (host_.ChooseFile(&chosen)) {
    filePath_ = chosen;
    UpdateData(false);
    host_.ShowPathFieldEnd();
  }
}

void CVantorToolDlg::OnGetDeviceInfo() {
  if (workerRunning_) return;
  UpdateData(true);
  // However the query ends: the reader closed, the path field restored.
  Outcome outcome = Outcome::kReaderStepFailed;
  ScopeGuard cleanUp([&] {
    outcome_ = outcome;
    CloseReader();
    UpdateData(false);
  });
  if (!reader_.OpenIfNeeded()) {
    ShowNoReader();
    outcome = Outcome::kNoReader;
    return;
  }
  outcome = app::QueryDeviceInfo(reader_.Handle(), statusText_, [this](const std::wstring& pane) {
              host_.SetPaneText(pane);
            }).outcome;
}

void CVantorToolDlg::OnDownload() {
  if (workerRunning_) return;  // one download at a time
  UpdateData(true);
  if (filePath_.empty()) {
    host_.ShowMessageBox(L"Please Open File !", L"Info", kMbOk);
    outcome_ = Outcome::kNoFile;
    return;
  }
  // Every end but two (the file does not open, the firmware image is
  // declined: both leave the reader open for the next command) closes the
  // reader and puts the path back into the field.
  Outcome outcome = Outcome::kFileError;
  ScopeGuard cleanUp([&] {
    outcome_ = outcome;
    CloseReader();
    UpdateData(false);
  });
  if (!reader_.OpenIfNeeded()) {
    ShowNoReader();
    outcome = Outcome::kNoReader;
    return;
  }
  const app::LoadResult load = app::LoadDownloadFile(
      filePath_,
      [this] {
        return host_.ShowMessageBox(L"This file is Update the Device Firmware, \n please confirm!",
                                    L"Info", kMbYesNo) != kIdNo;
      },
      &file_);
  if (!load.message.empty()) host_.ShowAppMessageBox(load.message);
  if (!load.opened || load.outcome == Outcome::kDeclined) {
    cleanUp.Dismiss();
    outcome_ = load.outcome;
    return;
  }
  if (load.outcome != Outcome::kNone) {
    outcome = load.outcome;
    return;
  }
  // The worker opens the reader itself: closed here, before the worker
  // exists, the two never hold it at once.
  CloseReader();
  workerRunning_ = true;
  outcome = Outcome::kRunning;
  try {
    host_.StartWorker([this] { DownloadThreadProc(this); });
  } catch (const std::exception&) {
    // No thread for the worker: the command ends through its clean-up.
    workerRunning_ = false;
    outcome = Outcome::kFileError;
  }
}

unsigned CVantorToolDlg::DownloadThreadProc(void* param) {
  auto* dlg = static_cast<CVantorToolDlg*>(param);
  // The one reader the command opened and closed again; the history only
  // where VANTOR_HISTORY names a file.
  app::AttemptSetup setup;
  setup.place = history::Locate(false, true);
  setup.slot = &dlg->reader_;
  setup.statusText = &dlg->statusText_;
  app::RunAttempt(dlg->file_, std::move(setup), *dlg);
  return 0;
}

void CVantorToolDlg::On(const app::DownloadEvent& event) {
  using Kind = app::DownloadEvent::Kind;
  switch (event.kind) {
    case Kind::kRunStarted: SetControls(false); break;
    case Kind::kNoReader: host_.RunOnWindowThread([this] { ShowNoReader(); }); break;
    case Kind::kStatus:
    case Kind::kSent:
      host_.RunOnWindowThread([&] {
        host_.SetPaneText(event.pane);
        if (event.kind == Kind::kSent) host_.OnProgress(event.percent);
      });
      break;
    case Kind::kRunEnded:
      host_.RunOnWindowThread([&] {
        outcome_ = event.end.outcome;
        // A history that could not record the attempt says why.
        if (!event.end.historyError.empty()) {
          host_.ShowMessageBox(FromLocalPath(event.end.historyError), L"Info", kMbOk);
        }
      });
      SetControls(true);
      break;
  }
}

void CVantorToolDlg::SetControls(bool enable) {
  for (int id : {kIdFilePath, kIdOpenFile, kIdGetInfo}) {
    host_.RunOnWindowThread([&] { host_.EnableControl(id, enable); });
  }
  // "Download To  Device" too, so a second download cannot start meanwhile;
  // the last operation also ends the run for the window thread.
  host_.RunOnWindowThread([&] {
    host_.EnableControl(kIdDownload, enable);
    if (enable) workerRunning_ = false;
  });
}

}  // namespace vantor
