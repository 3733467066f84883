// The download worker: sends the line table to the reader on a thread of
// its own, as a firmware image or as an offline-data script.
#include <chrono>
#include <cstring>
#include <exception>
#include <thread>

#include "codepage.h"
#include "format.h"
#include "scope_guard.h"
#include "VantorToolDlg.h"
#include "local_path.h"
#include "vantor/reader.h"

namespace vantor {
namespace {

constexpr auto kStartToFirstPause = std::chrono::milliseconds(200);

// Blanks and tabs removed wherever they stand.
std::wstring WithoutBlanks(const std::wstring& text) {
  std::wstring out;
  out.reserve(text.size());
  for (wchar_t c : text) {
    if (c != L' ' && c != L'\t') out += c;
  }
  return out;
}

bool StartsWith(const std::wstring& text, const wchar_t* prefix) {
  return text.compare(0, std::wcslen(prefix), prefix) == 0;
}

}  // namespace

unsigned CVantorToolDlg::DownloadThreadProc(void* param) {
  static_cast<CVantorToolDlg*>(param)->RunDownload();
  return 0;
}

void CVantorToolDlg::ShowPane(const std::wstring& text) {
  host_.RunOnWindowThread([&] { host_.SetPaneText(text); });
}

void CVantorToolDlg::AppendStatus(const std::wstring& text) {
  statusText_ += text;
  ShowPane(statusText_);
}

bool CVantorToolDlg::FailWith(const std::wstring& text) {
  AppendStatus(text);
  return false;
}

void CVantorToolDlg::ShowProgress(std::uint32_t key) {
  const std::uint32_t entries = static_cast<std::uint32_t>(LinesToSend().size());
  const int percent =
      static_cast<int>(static_cast<double>(key) / static_cast<double>(entries) * 100.0);
  const std::wstring pane = statusText_ + std::to_wstring(percent) + L"%";
  host_.RunOnWindowThread([&] {
    host_.SetPaneText(pane);
    host_.OnProgress(percent);
  });
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

std::wstring CVantorToolDlg::FileName() const {
#ifdef _WIN32
  const std::size_t slash = filePath_.find_last_of(L"\\/");
#else
  const std::size_t slash = filePath_.find_last_of(L'/');
#endif
  return ShownPath(slash == std::wstring::npos ? filePath_ : filePath_.substr(slash + 1));
}

bool CVantorToolDlg::StopHere(StopPoint point) {
  if (!stopRequested_.load(std::memory_order_relaxed)) return false;
  stopPoint_ = point;
  return true;
}

bool CVantorToolDlg::PrepareData(const std::wstring& text, std::int32_t* count) {
  const std::string ansi = download::ToAnsi(text);
  if (ansi.size() > download::kMaxLineBytes) return false;
  std::memcpy(lineBuffer_, ansi.c_str(), ansi.size() + 1);
  download::DecodeHexPairs(lineBuffer_, static_cast<std::uint32_t>(std::strlen(lineBuffer_)),
                           dataBuffer_, count);
  return true;
}

void CVantorToolDlg::RunDownload() {
  // However the run ends: the outcome set, the reader closed, the controls
  // enabled again (which also ends the run for the window thread).
  Outcome outcome = Outcome::kReaderStepFailed;
  ScopeGuard end([&] {
    outcome_ = outcome;
    CloseReader();
    SetControls(true);
  });
  try {
    SetControls(false);
    statusText_.clear();
    stopPoint_ = StopPoint::kNone;
    if (!OpenReaderIfNeeded()) {
      host_.RunOnWindowThread([&] { ShowOpenDeviceError(); });
      outcome = Outcome::kNoReader;
      return;
    }
    AppendStatus(L"Loading...\r\n");
    const bool sent = downloadMode_ == download::kHeaderF   ? DownloadFirmware()
                      : downloadMode_ == download::kHeaderE ? true
                                                            : DownloadOfflineData();
    if (!sent) {
      DllSpeakerControl(readerHandle_, 1);  // the failure buzzer
      return;
    }
    outcome = downloadMode_ == download::kHeaderE ? Outcome::kNothingSent : Outcome::kSuccess;
  } catch (const std::exception&) {
    // Out of memory while building a text: end as after a failure.
  }
}

bool CVantorToolDlg::DownloadFirmware() {
  std::memcpy(dataBuffer_, headerBytes_, 3);
  if (StopHere(StopPoint::kUnchanged)) return false;
  if (DllDownloadFirmwareStart(readerHandle_, dataBuffer_, 3) != 0) {
    return FailWith(L"Erase Vantor File Flash Error! \r\n");
  }
  std::this_thread::sleep_for(kStartToFirstPause);
  DllDownloadFirmwareFirst(readerHandle_, dataBuffer_, 3);
  for (const auto& [key, entry] : LinesToSend()) {
    const std::wstring line = WithoutBlanks(entry);
    if (line.empty() || line[0] == L';') continue;
    if (StopHere(StopPoint::kIncomplete)) return false;
    std::int32_t count = 0;
    if (!PrepareData(line, &count) || DllDownloadFirmware(readerHandle_, dataBuffer_, count) != 0) {
      return FailWith(line + L"Loading Error!\r\n");
    }
    ShowProgress(key);
  }
  statusText_ = FileName() + L"\r\n\r\nDownload SUCCESS!\r\n";
  ShowPane(statusText_);
  return true;
}

bool CVantorToolDlg::DownloadOfflineData() {
  if (StopHere(StopPoint::kUnchanged)) return false;
  if (DllEraseOfflineData(readerHandle_) != 0) {
    return FailWith(L"Erase Offline File Flash Error! \r\n");
  }
  if (StopHere(StopPoint::kIncomplete)) return false;
  if (DllWriteOfflineData(readerHandle_, VANTOR_RECORD_START, dataBuffer_, 0) != 0) {
    return FailWith(L"Loading COMMAND_START Error!\r\n");
  }
  for (const auto& [key, entry] : LinesToSend()) {
    const std::wstring line = WithoutBlanks(entry);
    if (line.empty() || line[0] == L';') continue;
    if (StopHere(StopPoint::kIncomplete)) return false;
    unsigned char type = VANTOR_RECORD_APDU;
    std::wstring text = line;
    if (StartsWith(line, download::kApduPrefix)) {
      text = line.substr(download::kApduPrefixLength);
    } else if (StartsWith(line, download::kResetPrefix)) {
      type = VANTOR_RECORD_RESET;
      text = line.substr(download::kResetPrefixLength);
    }
    std::int32_t count = 0;
    if (!PrepareData(text, &count) || count > static_cast<std::int32_t>(download::kMaxMode0Bytes) ||
        DllWriteOfflineData(readerHandle_, type, dataBuffer_, static_cast<unsigned char>(count)) !=
            0) {
      return FailWith(text + L"Loading Error!\r\n");
    }
    ShowProgress(key);
  }
  if (StopHere(StopPoint::kIncomplete)) return false;
  if (DllWriteOfflineData(readerHandle_, VANTOR_RECORD_END, dataBuffer_, 0) != 0) {
    return FailWith(L"Loading COMMAND_END Error!\r\n");
  }
  const std::string name = download::ToAnsi(FileName());
  if (StopHere(StopPoint::kIncomplete)) return false;
  if (name.size() > download::kMaxNameBytes ||
      DllSetOfflineFileName(readerHandle_, const_cast<char*>(name.c_str()),
                            static_cast<unsigned int>(name.size())) != 0) {
    return FailWith(L"Set Offline File Name Error!\r\n");
  }
  statusText_ = FileName() + L"\r\n\r\nDownload SUCCESS!\r\n";
  ShowPane(statusText_);
  DllSpeakerControl(readerHandle_, 0);
  return true;
}

}  // namespace vantor
