// The download job: the Download command's file check and load, and the
// worker's sequence that sends the line table to one reader as a firmware
// image or as an offline-data script.
#include "download_job.h"

#include <chrono>
#include <cstring>
#include <exception>
#include <thread>

#include "codepage.h"
#include "format.h"
#include "local_path.h"
#include "scope_guard.h"
#include "sha256.h"
#include "text_file.h"
#include "vantor/reader.h"

namespace vantor::app {
namespace {

constexpr auto kStartToFirstPause = std::chrono::milliseconds(200);
// The step of a run whose reader did not close (the emulated reader: its
// state was not written), as every text of the library's errors reads.
const std::wstring kCloseFailedStep =
    L"closing the reader failed (" + std::to_wstring(VANTOR_ERR_CLOSE) + L")";

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

// A step's text as the pane shows it, without the line break it ends with.
std::wstring StepText(const std::wstring& text) {
  const std::size_t end = text.find_last_not_of(L"\r\n ");
  return end == std::wstring::npos ? L"" : text.substr(0, end + 1);
}

// The SHA-256 of the bytes the load reads.
class Hashing : public download::ReadWatcher {
 public:
  void Restart() override { sha256.Restart(); }
  void Read(const char* data, std::size_t size) override { sha256.Update(data, size); }
  history::Sha256 sha256;
};

}  // namespace

std::wstring DownloadFile::Name() const {
#ifdef _WIN32
  const std::size_t slash = path.find_last_of(L"\\/");
#else
  const std::size_t slash = path.find_last_of(L'/');
#endif
  return ShownPath(slash == std::wstring::npos ? path : path.substr(slash + 1));
}

LoadResult LoadDownloadFile(const std::wstring& path, const std::function<bool()>& confirmFirmware,
                            DownloadFile* file) {
  LoadResult result;
  try {
    // The hash is of the bytes this one open file gives, read once, as they
    // are checked and loaded: of what is sent, even when the file at path
    // is replaced meanwhile.
    Hashing hashing;
    download::TextFile text;
    text.Watch(&hashing);
    if (!text.Open(ToLocalPath(path))) {
      result.fileError = text.OpenError();
      result.message = L"Open File Error!";
      result.outcome = Outcome::kFileError;
      return result;
    }
    result.opened = true;
    file->path = path;
    text.SeekToBegin();
    std::wstring line;
    text.ReadString(line);
    file->mode = download::ParseHeaderLine(line, file->header);
    if (file->mode == download::kHeaderF && !confirmFirmware()) {
      result.outcome = Outcome::kDeclined;
      return result;
    }
    text.SeekToBegin();
    file->sha256.clear();
    file->size = 0;
    if (!download::LoadLines(text, file->mode, file->lines, &result.lineError)) {
      result.message = download::LineErrorMessage(result.lineError.number);
      result.outcome = Outcome::kLineError;  // nothing of a bad file reaches the reader
      return result;
    }
    if (file->mode == download::kHeaderNone &&
        download::ToAnsi(file->Name()).size() > download::kMaxNameBytes) {
      result.message = L"File Name Too Long (over 255 bytes), Please Rename The File!";
      result.outcome = Outcome::kFileError;
      return result;
    }
    text.ReadToEnd();
    file->sha256 = hashing.sha256.Final();
    file->size = hashing.sha256.size();
  } catch (const std::exception& e) {
    result.readError = e.what();
    result.outcome = Outcome::kFileError;
  }
  return result;
}

DownloadJob::DownloadJob(const DownloadFile& file, ReaderSlot& reader, std::wstring& statusText,
                         DownloadSink& sink, const std::atomic<bool>* stop, std::size_t index)
    : file_(file),
      reader_(reader),
      statusText_(statusText),
      sink_(sink),
      stop_(stop),
      index_(index) {}

void DownloadJob::Emit(DownloadEvent::Kind kind, std::wstring pane, int percent) {
  DownloadEvent event;
  event.kind = kind;
  event.reader = index_;
  event.pane = std::move(pane);
  event.percent = percent;
  if (kind == DownloadEvent::Kind::kSent) {
    event.count = end_.recordsSent;
    event.total = file_.lines.size();
  }
  if (kind == DownloadEvent::Kind::kRunEnded) event.end = end_;
  sink_.On(event);
}

void DownloadJob::AppendStatus(const std::wstring& text) {
  statusText_ += text;
  Emit(DownloadEvent::Kind::kStatus, statusText_);
}

bool DownloadJob::FailWith(const std::wstring& text) {
  end_.failedStep = StepText(text);
  AppendStatus(text);
  return false;
}

void DownloadJob::ShowProgress(std::uint32_t key) {
  ++end_.recordsSent;
  const std::uint32_t entries = static_cast<std::uint32_t>(file_.lines.size());
  const int percent =
      static_cast<int>(static_cast<double>(key) / static_cast<double>(entries) * 100.0);
  Emit(DownloadEvent::Kind::kSent, statusText_ + std::to_wstring(percent) + L"%", percent);
}

bool DownloadJob::StopHere(StopPoint point) {
  if (stop_ == nullptr || !stop_->load(std::memory_order_relaxed)) return false;
  end_.stopPoint = point;
  return true;
}

bool DownloadJob::PrepareData(const std::wstring& text, std::int32_t* count) {
  const std::string ansi = download::ToAnsi(text);
  if (ansi.size() > download::kMaxLineBytes) return false;
  std::memcpy(lineBuffer_, ansi.c_str(), ansi.size() + 1);
  download::DecodeHexPairs(lineBuffer_, static_cast<std::uint32_t>(std::strlen(lineBuffer_)),
                           dataBuffer_, count);
  return true;
}

void DownloadJob::Run() {
  end_ = DownloadEnd{};
  // However the run ends: the outcome kept, the reader closed, the end told.
  Outcome outcome = Outcome::kReaderStepFailed;
  ScopeGuard end([&] {
    end_.outcome = outcome;
    reader_.Close();
    end_.closeFailed = reader_.CloseFailed();
    // What the reader was told may not be kept: that is the failing step
    // of a run that failed nowhere else.
    if (end_.closeFailed && end_.failedStep.empty() && end_.stopPoint == StopPoint::kNone &&
        outcome != Outcome::kNoReader) {
      end_.failedStep = kCloseFailedStep;
    }
    Emit(DownloadEvent::Kind::kRunEnded);
  });
  try {
    statusText_.clear();
    if (!reader_.OpenIfNeeded()) {
      Emit(DownloadEvent::Kind::kNoReader, L"Open Device Error!");
      outcome = Outcome::kNoReader;
      return;
    }
    AppendStatus(L"Loading...\r\n");
    const bool sent = file_.mode == download::kHeaderF   ? DownloadFirmware()
                      : file_.mode == download::kHeaderE ? true
                                                         : DownloadOfflineData();
    if (!sent) {
      DllSpeakerControl(reader_.Handle(), 1);  // the failure buzzer
      return;
    }
    outcome = file_.mode == download::kHeaderE ? Outcome::kNothingSent : Outcome::kSuccess;
  } catch (const std::exception&) {
    // Out of memory while building a text: end as after a failure.
  }
}

bool DownloadJob::DownloadFirmware() {
  const int handle = reader_.Handle();
  std::memcpy(dataBuffer_, file_.header, 3);
  if (StopHere(StopPoint::kUnchanged)) return false;
  if (DllDownloadFirmwareStart(handle, dataBuffer_, 3) != 0) {
    return FailWith(L"Erase Vantor File Flash Error! \r\n");
  }
  std::this_thread::sleep_for(kStartToFirstPause);
  DllDownloadFirmwareFirst(handle, dataBuffer_, 3);
  for (const auto& [key, entry] : file_.lines) {
    const std::wstring line = WithoutBlanks(entry);
    if (line.empty() || line[0] == L';') continue;
    if (StopHere(StopPoint::kIncomplete)) return false;
    std::int32_t count = 0;
    if (!PrepareData(line, &count) || DllDownloadFirmware(handle, dataBuffer_, count) != 0) {
      return FailWith(line + L"Loading Error!\r\n");
    }
    ShowProgress(key);
  }
  statusText_ = file_.Name() + L"\r\n\r\nDownload SUCCESS!\r\n";
  Emit(DownloadEvent::Kind::kStatus, statusText_);
  return true;
}

bool DownloadJob::DownloadOfflineData() {
  const int handle = reader_.Handle();
  if (StopHere(StopPoint::kUnchanged)) return false;
  if (DllEraseOfflineData(handle) != 0) {
    return FailWith(L"Erase Offline File Flash Error! \r\n");
  }
  if (StopHere(StopPoint::kIncomplete)) return false;
  if (DllWriteOfflineData(handle, VANTOR_RECORD_START, dataBuffer_, 0) != 0) {
    return FailWith(L"Loading COMMAND_START Error!\r\n");
  }
  for (const auto& [key, entry] : file_.lines) {
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
        DllWriteOfflineData(handle, type, dataBuffer_, static_cast<unsigned char>(count)) != 0) {
      return FailWith(text + L"Loading Error!\r\n");
    }
    ShowProgress(key);
  }
  if (StopHere(StopPoint::kIncomplete)) return false;
  if (DllWriteOfflineData(handle, VANTOR_RECORD_END, dataBuffer_, 0) != 0) {
    return FailWith(L"Loading COMMAND_END Error!\r\n");
  }
  const std::string name = download::ToAnsi(file_.Name());
  if (StopHere(StopPoint::kIncomplete)) return false;
  if (name.size() > download::kMaxNameBytes ||
      DllSetOfflineFileName(handle, const_cast<char*>(name.c_str()),
                            static_cast<unsigned int>(name.size())) != 0) {
    return FailWith(L"Set Offline File Name Error!\r\n");
  }
  statusText_ = file_.Name() + L"\r\n\r\nDownload SUCCESS!\r\n";
  Emit(DownloadEvent::Kind::kStatus, statusText_);
  DllSpeakerControl(handle, 0);
  return true;
}

}  // namespace vantor::app
