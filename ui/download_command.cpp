// The Download command: checks and loads the chosen file into the line
// table on the window thread, then hands the download to a worker.
#include <cstring>
#include <exception>

#include "codepage.h"
#include "format.h"
#include "text_file.h"
#include "VantorToolDlg.h"
#include "local_path.h"
#include "scope_guard.h"

namespace vantor {

Outcome CVantorToolDlg::LoadFile(bool* leaveOpen) {
  batchLines_ = nullptr;
  download::TextFile file;
  if (!file.Open(ToLocalPath(filePath_))) {
    fileError_ = file.OpenError();
    host_.ShowAppMessageBox(L"Open File Error!");
    *leaveOpen = true;
    return Outcome::kFileError;
  }
  file.SeekToBegin();
  std::wstring line;
  file.ReadString(line);
  downloadMode_ = ParseHeaderLine(line);
  if (downloadMode_ == download::kHeaderF &&
      host_.ShowMessageBox(L"This file is Update the Device Firmware, \n please confirm!", L"Info",
                           kMbYesNo) == kIdNo) {
    *leaveOpen = true;
    return Outcome::kDeclined;
  }
  file.SeekToBegin();
  if (!download::LoadLines(file, downloadMode_, lines_, &lineError_)) {
    host_.ShowAppMessageBox(download::LineErrorMessage(lineError_.number));
    return Outcome::kLineError;  // nothing of a bad file reaches the reader
  }
  if (downloadMode_ == download::kHeaderNone &&
      download::ToAnsi(FileName()).size() > download::kMaxNameBytes) {
    host_.ShowAppMessageBox(L"File Name Too Long (over 255 bytes), Please Rename The File!");
    return Outcome::kFileError;
  }
  return Outcome::kRunning;
}

Outcome CVantorToolDlg::LoadDownload() {
  UpdateData(true);
  fileError_ = 0;
  if (filePath_.empty()) {
    host_.ShowMessageBox(L"Please Open File !", L"Info", kMbOk);
    return outcome_ = Outcome::kNoFile;
  }
  bool leaveOpen = false;
  try {
    outcome_ = LoadFile(&leaveOpen);
  } catch (const std::exception&) {
    outcome_ = Outcome::kFileError;
  }
  return outcome_;
}

void CVantorToolDlg::StartLoadedDownload(const CVantorToolDlg& loaded, int readerHandle) {
  filePath_ = loaded.filePath_;
  downloadMode_ = loaded.downloadMode_;
  std::memcpy(headerBytes_, loaded.headerBytes_, sizeof headerBytes_);
  batchLines_ = &loaded.lines_;
  readerHandle_ = readerHandle;
  openResult_ = readerHandle;
  workerRunning_ = true;
  outcome_ = Outcome::kRunning;
  try {
    host_.StartWorker([this] { DownloadThreadProc(this); });
  } catch (const std::exception&) {
    workerRunning_ = false;
    outcome_ = Outcome::kReaderStepFailed;
    CloseReader();
  }
}

void CVantorToolDlg::OnDownload() {
  if (workerRunning_) return;  // one download at a time
  UpdateData(true);
  fileError_ = 0;
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
  try {
    if (!OpenReaderIfNeeded()) {
      ShowOpenDeviceError();
      outcome = Outcome::kNoReader;
      return;
    }
    bool leaveOpen = false;
    outcome = LoadFile(&leaveOpen);
    if (leaveOpen) {
      cleanUp.Dismiss();
      outcome_ = outcome;
      return;
    }
    if (outcome != Outcome::kRunning) return;
    // The worker opens the reader itself: closed here, before the worker
    // exists, the two never hold it at once.
    CloseReader();
    workerRunning_ = true;
    host_.StartWorker([this] { DownloadThreadProc(this); });
  } catch (const std::exception&) {
    // A read error of the file, or no thread for the worker: the command
    // ends through its clean-up.
    workerRunning_ = false;
    outcome = Outcome::kFileError;
  }
}

}  // namespace vantor
