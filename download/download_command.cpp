// The Download command: checks and loads the chosen file into the line
// table on the window thread, then hands the download to a worker.
#include "download/codepage.h"
#include "download/text_file.h"
#include "ui/VantorToolDlg.h"
#include "ui/local_path.h"

namespace vantor {
void CVantorToolDlg::OnDownload() {
  if (m_workerRunning) return;  // one download at a time
  UpdateData(true);
  if (m_filePath.empty()) {
    m_host.ShowMessageBox(L"Please Open File !", L"Info", kMbOk);
    m_outcome = Outcome::kNoFile;
    return;
  }
  try {
    if (!OpenReaderIfNeeded()) {
      const std::wstring message = L"Open Device Error!";
      m_host.SetPaneText(message);
      m_host.ShowMessageBox(message, L"Info", kMbOk);
      m_outcome = Outcome::kNoReader;
      throw -1;
    }
    download::TextFile file;
    if (!file.Open(ToLocalPath(m_filePath))) {
      // The reader stays open for the next command, which uses it as is.
      m_host.ShowAppMessageBox(L"Open File Error!");
      m_outcome = Outcome::kFileError;
      return;
    }
    file.SeekToBegin();
    std::wstring line;
    file.ReadString(line);
    m_downloadMode = ParseHeaderLine(line);
    if (m_downloadMode == 1 &&
        m_host.ShowMessageBox(
            L"This file is Update the Device Firmware, \n please confirm!",
            L"Info", kMbYesNo) == kIdNo) {
      file.Close();
      m_outcome = Outcome::kDeclined;
      return;
    }
    file.SeekToBegin();
    if (!download::LoadLines(file, m_downloadMode, m_lines, &m_lineError)) {
      m_host.ShowAppMessageBox(download::LineErrorMessage(m_lineError.number));
      file.Close();
      m_outcome = Outcome::kLineError;
      throw -1;  // nothing of a bad file reaches the reader
    }
    file.Close();
    if (m_downloadMode == 0 &&
        download::ToAnsi(FileName()).size() > download::kMaxNameBytes) {
      m_host.ShowAppMessageBox(
          L"File Name Too Long (over 255 bytes), Please Rename The File!");
      m_outcome = Outcome::kFileError;
      throw -1;
    }
    m_workerRunning = true;
    m_outcome = Outcome::kRunning;
    m_host.StartWorker([this] { DownloadThreadProc(this); });
  } catch (const std::exception&) {
    // A read error of the file, or no thread for the worker: the command
    // ends through its clean-up.
    m_workerRunning = false;
    m_outcome = Outcome::kFileError;
  } catch (...) {
  }
  CloseReader();
  UpdateData(false);
}

}  // namespace vantor
