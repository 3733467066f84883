// Windows side of the test helpers: a temp folder and a message-mode named pipe on which a test
// plays the reader (one report per message, like a HID device).
#include <windows.h>

#include <atomic>
#include <stdexcept>
#include <string>

#include "test_util.h"
#include "app/local_path.h"

namespace vantor::test {
namespace {

HANDLE AsHandle(int value) { return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(value)); }
int AsInt(HANDLE h) { return static_cast<int>(reinterpret_cast<std::intptr_t>(h)); }

// Process, counter and tick count: a name no other run is using.
std::wstring UniqueName() {
  static std::atomic<unsigned> serial{0};
  return std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(serial++) + L"-" +
         std::to_wstring(GetTickCount());
}

}  // namespace

TempDir::TempDir() {
  wchar_t base[MAX_PATH + 1];
  const DWORD n = GetTempPathW(MAX_PATH + 1, base);
  if (n == 0 || n > MAX_PATH) throw std::runtime_error("GetTempPathW failed");
  const std::wstring dir = std::wstring(base, n) + L"vantor-test-" + UniqueName();
  if (!CreateDirectoryW(dir.c_str(), nullptr)) throw std::runtime_error("CreateDirectoryW failed");
  path_ = ToLocalPath(dir);
}

ReaderPeer::ReaderPeer() {
  const std::wstring name = L"\\\\.\\pipe\\vantor-test-peer-" + UniqueName();
  const HANDLE reader = CreateNamedPipeW(
      name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE,
      PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 64 * 1024, 64 * 1024, 0, nullptr);
  // The host's end is opened for overlapped I/O, like a HID device.
  const HANDLE host = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  DWORD mode = PIPE_READMODE_MESSAGE;
  if (host == INVALID_HANDLE_VALUE || !SetNamedPipeHandleState(host, &mode, nullptr, nullptr))
    throw std::runtime_error("making the test reader's pipe failed");
  ConnectNamedPipe(reader, nullptr);  // already connected: ERROR_PIPE_CONNECTED
  host_ = AsInt(host);
  reader_ = AsInt(reader);
  OpenHost();
}

void ReaderPeer::CloseReaderSide() {
  if (reader_ == -1) return;
  DisconnectNamedPipe(AsHandle(reader_));
  CloseHandle(AsHandle(reader_));
  reader_ = -1;
}

std::vector<Report> ReaderPeer::TakeWritten() {
  std::vector<Report> reports;
  Report report(65);
  DWORD available = 0, got = 0;
  while (PeekNamedPipe(AsHandle(reader_), nullptr, 0, nullptr, &available, nullptr) &&
         available > 0 && ::ReadFile(AsHandle(reader_), report.data(), 65, &got, nullptr)) {
    reports.emplace_back(report.begin(), report.begin() + got);
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
