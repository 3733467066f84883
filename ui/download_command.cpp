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
  m_batchLines = nullptr;
  download::TextFile file;
  if (!file.Open(ToLocalPath(m_filePath))) {
    m_fileError = file.OpenError();
    m_host.ShowAppMessageBox(L"Open File Error!");
    *leaveOpen = true;
    return Outcome::kFileError;
  }
  file.SeekToBegin();
  std::wstring line;
  file.ReadString(line);
  m_downloadMode = ParseHeaderLine(line);
  if (m_downloadMode == download::kHeaderF &&
      m_host.ShowMessageBox(L"This file is Update the Device Firmware, \n please confirm!",
                            L"Info", kMbYesNo) == kIdNo) {
    *leaveOpen = true;
    return Outcome::kDeclined;
  }
  file.SeekToBegin();
  if (!download::LoadLines(file, m_downloadMode, m_lines, &m_lineError)) {
    m_host.ShowAppMessageBox(download::LineErrorMessage(m_lineError.number));
    return Outcome::kLineError;  // nothing of a bad file reaches the reader
  }
  if (m_downloadMode == download::kHeaderNone &&
      download::ToAnsi(FileName()).size() > download::kMaxNameBytes) {
    m_host.ShowAppMessageBox(L"File Name Too Long (over 255 bytes), Please Rename The File!");
    return Outcome::kFileError;
  }
  return Outcome::kRunning;
}

Outcome CVantorToolDlg::LoadDownload() {
  UpdateData(true);
  m_fileError = 0;
  if (m_filePath.empty()) {
    m_host.ShowMessageBox(L"Please Open File !", L"Info", kMbOk);
    return m_outcome = Outcome::kNoFile;
  }
  bool leaveOpen = false;
  try {
    m_outcome = LoadFile(&leaveOpen);
  } catch (const std::exception&) {
    m_outcome = Outcome::kFileError;
  }
  return m_outcome;
}

void CVantorToolDlg::StartLoadedDownload(const CVantorToolDlg& loaded, int readerHandle) {
  m_filePath = loaded.m_filePath;
  m_downloadMode = loaded.m_downloadMode;
  std::memcpy(m_headerBytes, loaded.m_headerBytes, sizeof m_headerBytes);
  m_batchLines = &loaded.m_lines;
  m_readerHandle = readerHandle;
  m_openResult = readerHandle;
  m_workerRunning = true;
  m_outcome = Outcome::kRunning;
  try {
    m_host.StartWorker([this] { DownloadThreadProc(this); });
  } catch (const std::exception&) {
    m_workerRunning = false;
    m_outcome = Outcome::kReaderStepFailed;
    CloseReader();
  }
}

void CVantorToolDlg::OnDownload() {
  if (m_workerRunning) return;  // one download at a time
  UpdateData(true);
  m_fileError = 0;
  if (m_filePath.empty()) {
    m_host.ShowMessageBox(L"Please Open File !", L"Info", kMbOk);
    m_outcome = Outcome::kNoFile;
    return;
  }
  // Every end but two (the file does not open, the firmware image is
  // declined: both leave the reader open for the next command) closes the
  // reader and puts the path back into the field.
  Outcome outcome = Outcome::kFileError;
  ScopeGuard cleanUp([&] {
    m_outcome = outcome;
    CloseReader();
    UpdateData(false);
  });
  try {
    if (!OpenReaderIfNeeded()) {
      const std::wstring message = L"Open Device Error!";
      m_host.SetPaneText(message);
      m_host.ShowMessageBox(message, L"Info", kMbOk);
      outcome = Outcome::kNoReader;
      return;
    }
    bool leaveOpen = false;
    outcome = LoadFile(&leaveOpen);
    if (leaveOpen) {
      cleanUp.Dismiss();
      m_outcome = outcome;
      return;
    }
    if (outcome != Outcome::kRunning) return;
    // The worker opens the reader itself: closed here, before the worker
    // exists, the two never hold it at once.
    CloseReader();
    m_workerRunning = true;
    m_host.StartWorker([this] { DownloadThreadProc(this); });
  } catch (const std::exception&) {
    // A read error of the file, or no thread for the worker: the command
    // ends through its clean-up.
    m_workerRunning = false;
    outcome = Outcome::kFileError;
  }
}

}  // namespace vantor
