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
void ReplaceAll(std::wstring& text, const std::wstring& word,
                const std::wstring& with) {
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

CVantorToolDlg::CVantorToolDlg(WindowHost& host) : m_host(host) {}

void CVantorToolDlg::OnInitDialog() {
  UpdateData(false);
  m_readerHandle = 0;
  m_downloadMode = 0;
}

void CVantorToolDlg::UpdateData(bool saveAndValidate) {
  if (saveAndValidate) {
    m_filePath = m_host.GetPathFieldText();
  } else {
    m_host.SetPathFieldText(m_filePath);
  }
}

std::uint8_t CVantorToolDlg::ParseHeaderLine(std::wstring line) {
  return download::ParseHeaderLine(line, m_headerBytes);
}

bool CVantorToolDlg::OpenReaderIfNeeded() {
  if (!IsOpen(m_readerHandle)) {
    m_readerHandle = m_readerPath.empty() ? DllOpenReader() : DllOpenReaderPath(m_readerPath.c_str());
    m_openResult = m_readerHandle;
  }
  return IsOpen(m_readerHandle);
}

void CVantorToolDlg::CloseReader() {
  if (IsOpen(m_readerHandle)) {
    m_closeFailed = DllCloseReader(m_readerHandle) != VANTOR_OK;
    m_readerHandle = 0;
  }
}

void CVantorToolDlg::OnOpenFile() {
  if (m_workerRunning) return;
  UpdateData(true);
  std::wstring chosen;
  if (m_host.ChooseFile(&chosen)) {
    m_filePath = chosen;
    UpdateData(false);
    m_host.ShowPathFieldEnd();
  }
}

void CVantorToolDlg::OnGetDeviceInfo() {
  if (m_workerRunning) return;
  UpdateData(true);
  // However the query ends: the reader closed, the path field restored.
  Outcome outcome = Outcome::kReaderStepFailed;
  ScopeGuard cleanUp([&] {
    m_outcome = outcome;
    CloseReader();
    UpdateData(false);
  });
  if (!OpenReaderIfNeeded()) {
    const std::wstring message = L"Open Device Error!";
    m_host.SetPaneText(message);
    m_host.ShowMessageBox(message, L"Info", kMbOk);
    outcome = Outcome::kNoReader;
    return;
  }
  // The functions may answer up to their full room; the query keeps at
  // most 128 bytes of either text.
  char buffer[std::max(VANTOR_ROOM_VERSION, VANTOR_ROOM_NAME)] = {};
  unsigned int length = 0;
  unsigned int trailer = 0;
  m_lastVersion.clear();
  m_lastName.clear();
  m_haveVersion = false;

  if (DllGetFirmwareVersion(m_readerHandle, buffer, &length, &trailer) != 0) {
    m_statusText = L"Get Device Firmware Version Error!";
    m_host.SetPaneText(m_statusText);
    return;
  }
  m_lastVersion = download::FromAnsi(buffer, std::min<std::size_t>(length, kShownTextBytes));
  m_haveVersion = true;
  m_statusText = L"Firmware Version: " + m_lastVersion + L"\r\n\r\n";
  ReplaceAll(m_statusText, L"Double", L"X");
  ReplaceAll(m_statusText, L"double", L"X");
  m_host.SetPaneText(m_statusText);

  if (DllGetOfflineFileName(m_readerHandle, buffer, &length) != 0) {
    m_statusText += L"Get Offline File Error!\r\n";
    m_host.SetPaneText(m_statusText);
    return;
  }
  if (length != 0) {
    m_lastName = download::FromAnsi(buffer, std::min<std::size_t>(length, kShownTextBytes));
    m_statusText += L"Offline File: ";
    m_statusText += m_lastName + L"\r\n";
  } else {
    m_statusText += L"No Offline File!\r\n";
  }
  m_host.SetPaneText(m_statusText);
  outcome = Outcome::kSuccess;
}

}  // namespace vantor
