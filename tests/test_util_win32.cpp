// Windows side of the test helpers: a temp folder, environment overrides
// and a message-mode named pipe on which a test plays the reader (one
// report per message, like a HID device).
#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <cwchar>
#include <stdexcept>
#include <string>

#include "reader/frame.h"
#include "test_util.h"

namespace vantor::test {
namespace {

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                    nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n,
                      nullptr, nullptr);
  return out;
}

HANDLE AsHandle(int value) { return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(value)); }
int AsInt(HANDLE h) { return static_cast<int>(reinterpret_cast<std::intptr_t>(h)); }

}  // namespace

TempDir::TempDir() {
  static std::atomic<unsigned> serial{0};
  wchar_t base[MAX_PATH + 1];
  const DWORD n = GetTempPathW(MAX_PATH + 1, base);
  if (n == 0 || n > MAX_PATH) throw std::runtime_error("GetTempPathW failed");
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::wstring dir = std::wstring(base) + L"vantor-test-" +
                             std::to_wstring(GetCurrentProcessId()) + L"-" +
                             std::to_wstring(serial++) + L"-" + std::to_wstring(GetTickCount());
    if (CreateDirectoryW(dir.c_str(), nullptr)) {
      path_ = Utf8(dir);
      return;
    }
  }
  throw std::runtime_error("CreateDirectoryW failed");
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
  if (const char* old = std::getenv(name)) {
    hadOld_ = true;
    old_ = old;
  }
  // _putenv_s with an empty value removes the variable.
  _putenv_s(name, value ? value : "");
}

ScopedEnv::~ScopedEnv() { _putenv_s(name_.c_str(), hadOld_ ? old_.c_str() : ""); }

ReaderPeer::ReaderPeer() {
  static std::atomic<unsigned> serial{0};
  const std::wstring name = L"\\\\.\\pipe\\vantor-test-peer-" +
                            std::to_wstring(GetCurrentProcessId()) + L"-" +
                            std::to_wstring(serial++);
  const HANDLE reader = CreateNamedPipeW(
      name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE,
      PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 64 * 1024, 64 * 1024, 0, nullptr);
  if (reader == INVALID_HANDLE_VALUE) throw std::runtime_error("CreateNamedPipeW failed");
  const HANDLE host = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  DWORD mode = PIPE_READMODE_MESSAGE;
  if (host == INVALID_HANDLE_VALUE || !SetNamedPipeHandleState(host, &mode, nullptr, nullptr)) {
    CloseHandle(reader);
    if (host != INVALID_HANDLE_VALUE) CloseHandle(host);
    throw std::runtime_error("opening the host end failed");
  }
  ConnectNamedPipe(reader, nullptr);  // already connected: ERROR_PIPE_CONNECTED
  host_ = AsInt(host);
  reader_ = AsInt(reader);
}

ReaderPeer::~ReaderPeer() {
  if (host_ != -1) CloseHandle(AsHandle(host_));
  CloseReaderSide();
}

void ReaderPeer::CloseReaderSide() {
  if (reader_ != -1) {
    DisconnectNamedPipe(AsHandle(reader_));
    CloseHandle(AsHandle(reader_));
  }
  reader_ = -1;
}

std::vector<Report> ReaderPeer::TakeWritten() {
  std::vector<Report> reports;
  for (;;) {
    DWORD available = 0;
    if (!PeekNamedPipe(AsHandle(reader_), nullptr, 0, nullptr, &available, nullptr) ||
        available == 0) {
      break;
    }
    Report report(65);
    DWORD got = 0;
    if (!::ReadFile(AsHandle(reader_), report.data(), static_cast<DWORD>(report.size()), &got,
                  nullptr)) {
      break;
    }
    report.resize(got);
    reports.push_back(report);
  }
  return reports;
}

void ReaderPeer::Answer(const std::vector<Report>& reports) {
  for (const auto& r : reports) {
    DWORD sent = 0;
    if (!::WriteFile(AsHandle(reader_), r.data(), static_cast<DWORD>(r.size()), &sent, nullptr) ||
        sent != r.size()) {
      throw std::runtime_error("WriteFile failed");
    }
  }
}

}  // namespace vantor::test
