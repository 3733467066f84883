// Window start, data exchange, the file choice and the device information
// query. The Download command and the worker have files of their own.
#include "VantorToolDlg.h"

#include <algorithm>
#include <cstring>

#include "codepage.h"
#include "format.h"
#include "scope_guard.h"
#include "vantor/reader.h"

namespace vantor {
namespace {

constexpr int kNoReader = VANTOR_ERR_NO_READER;

bool IsOpen(int handle) { return handle != 0 && handle != kNoReader && handle != VANTOR_ERR_BUSY; }

// Of the version and the file name, at most this many bytes are shown.
constexpr std::size_t kShownTextBytes = 128;

// Every occurrence of word, left to right without overlap, becomes with.
void ReplaceAll(std::wstring& text, const std::wstring& word, const std::wstring& with) {
  std::wstring out;
  std::size_t from = 0;
  for (std::size_t at; (at = text.find(word, from)) != std::wstring::npos;
       from = at + word.size()) {
    out.append(text, from, at - from);
    out += with;
  }
  out.append(text, from, std::wstring::npos);
  text.swap(out);
}

}  // namespace

CVantorToolDlg::CVantorToolDlg(WindowHost& host) : host_(host) {}

void CVantorToolDlg::OnInitDialog() {
  UpdateData(false);
  readerHandle_ = 0;
  downloadMode_ = 0;
}

void CVantorToolDlg::UpdateData(bool saveAndValidate) {
  if (saveAndValidate) {
    filePath_ = host_.GetPathFieldText();
  } else {
    host_.SetPathFieldText(filePath_);
  }
}

std::uint8_t CVantorToolDlg::ParseHeaderLine(std::wstring line) {
  return download::ParseHeaderLine(line, headerBytes_);
}

bool CVantorToolDlg::OpenReaderIfNeeded() {
  if (!IsOpen(readerHandle_)) {
    readerHandle_ = readerPath_.empty() ? DllOpenReader() : DllOpenReaderPath(readerPath_.c_str());
    openResult_ = readerHandle_;
  }
  return IsOpen(readerHandle_);
}

void CVantorToolDlg::ShowOpenDeviceError() {
  const std::wstring message = L"Open Device Error!";
  host_.SetPaneText(message);
  host_.ShowMessageBox(message, L"Info", kMbOk);
}

void CVantorToolDlg::CloseReader() {
  if (IsOpen(readerHandle_)) {
    closeFailed_ = DllCloseReader(readerHandle_) != VANTOR_OK;
    readerHandle_ = 0;
  }
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
  if (!OpenReaderIfNeeded()) {
    ShowOpenDeviceError();
    outcome = Outcome::kNoReader;
    return;
  }
  // The functions may answer up to their full room; the query keeps at
  // most 128 bytes of either text.
  char buffer[std::max(VANTOR_ROOM_VERSION, VANTOR_ROOM_NAME)] = {};
  unsigned int length = 0;
  unsigned int trailer = 0;
  lastVersion_.clear();
  lastName_.clear();
  haveVersion_ = false;

  if (DllGetFirmwareVersion(readerHandle_, buffer, &length, &trailer) != 0) {
    statusText_ = L"Get Device Firmware Version Error!";
    host_.SetPaneText(statusText_);
    return;
  }
  lastVersion_ = download::FromAnsi(buffer, std::min<std::size_t>(length, kShownTextBytes));
  haveVersion_ = true;
  statusText_ = L"Firmware Version: " + lastVersion_ + L"\r\n\r\n";
  ReplaceAll(statusText_, L"Double", L"X");
  ReplaceAll(statusText_, L"double", L"X");
  host_.SetPaneText(statusText_);

  if (DllGetOfflineFileName(readerHandle_, buffer, &length) != 0) {
    statusText_ += L"Get Offline File Error!\r\n";
    host_.SetPaneText(statusText_);
    return;
  }
  if (length != 0) {
    lastName_ = download::FromAnsi(buffer, std::min<std::size_t>(length, kShownTextBytes));
    statusText_ += L"Offline File: ";
    statusText_ += lastName_ + L"\r\n";
  } else {
    statusText_ += L"No Offline File!\r\n";
  }
  host_.SetPaneText(statusText_);
  outcome = Outcome::kSuccess;
}

}  // namespace vantor
