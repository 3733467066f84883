// The emulated reader on Windows: a message-mode named pipe carries one
// report per message. The host's end is opened for overlapped I/O like a
// HID device.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>

#include "sim_link.h"
#include "sim_link_common.h"

namespace vantor::sim {
namespace {

class PipeEnd : public ReaderEnd {
 public:
  explicit PipeEnd(HANDLE pipe) : pipe_(pipe) {}
  ~PipeEnd() override { Close(); }

  bool Receive(std::uint8_t report[kReportSize], std::size_t* got) override {
    DWORD n = 0;
    if (!ReadFile(pipe_, report, kReportSize, &n, nullptr)) {
      // A message longer than a report is cut to one; anything else
      // (mostly the host closing its end) ends the link.
      if (GetLastError() != ERROR_MORE_DATA) return false;
      n = kReportSize;
      std::uint8_t rest[256];
      DWORD skipped = 0;
      while (!ReadFile(pipe_, rest, sizeof rest, &skipped, nullptr) &&
             GetLastError() == ERROR_MORE_DATA) {
      }
    }
    *got = n;
    return true;
  }

  bool Send(const std::uint8_t report[kReportSize]) override {
    DWORD sent = 0;
    return WriteFile(pipe_, report, kReportSize, &sent, nullptr) && sent == kReportSize;
  }

  void Close() override {
    if (pipe_ == INVALID_HANDLE_VALUE) return;
    DisconnectNamedPipe(pipe_);
    CloseHandle(pipe_);
    pipe_ = INVALID_HANDLE_VALUE;
  }

 private:
  HANDLE pipe_;
};

// A fresh, unguessable pipe name: process, counter and tick count.
std::wstring PipeName() {
  static std::atomic<unsigned> counter{0};
  wchar_t name[96];
  std::swprintf(name, sizeof name / sizeof name[0], L"\\\\.\\pipe\\vantor-sim-%lu-%u-%llu",
                GetCurrentProcessId(), counter.fetch_add(1),
                static_cast<unsigned long long>(GetTickCount64()));
  return name;
}

// The two ends of a new link; false when either cannot be made.
bool MakePipe(HANDLE* host, HANDLE* emulator) {
  const std::wstring name = PipeName();
  const HANDLE server = CreateNamedPipeW(
      name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE,
      PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
      16 * kReportSize, 16 * kReportSize, 0, nullptr);
  if (server == INVALID_HANDLE_VALUE) return false;
  const HANDLE client = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (client == INVALID_HANDLE_VALUE) {
    CloseHandle(server);
    return false;
  }
  DWORD mode = PIPE_READMODE_MESSAGE;
  const bool connected =
      ConnectNamedPipe(server, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED;
  if (!connected || !SetNamedPipeHandleState(client, &mode, nullptr, nullptr)) {
    CloseHandle(client);
    CloseHandle(server);
    return false;
  }
  *host = client;
  *emulator = server;
  return true;
}

int ToInt(HANDLE h) { return static_cast<int>(reinterpret_cast<std::intptr_t>(h)); }

bool CloseHost(int handle) {
  return CloseHandle(reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(handle))) != FALSE;
}

// <state>.lock opened with no sharing: a second open fails with a sharing
// violation while this handle is open; the system removes the file when
// it is closed, also when the process dies.
class FileLock : public StateLock {
 public:
  explicit FileLock(HANDLE file) : file_(file) {}
  ~FileLock() override {
    if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
  }

 private:
  HANDLE file_;
};

}  // namespace

std::unique_ptr<StateLock> LockState(const std::string& statePath, bool* inUse) {
  *inUse = false;
  const std::string path = statePath + ".lock";
  DWORD error = ERROR_SUCCESS;
  // Access is denied in a folder that cannot be written, and for a moment
  // while the last holder's file is being removed: a few tries tell them apart.
  for (int round = 0; round < 5; ++round) {
    if (round > 0) Sleep(20);
    const HANDLE file =
        CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                    FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file != INVALID_HANDLE_VALUE) return std::make_unique<FileLock>(file);
    error = GetLastError();
    if (error != ERROR_ACCESS_DENIED) break;
  }
  *inUse = error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
  if (*inUse) return nullptr;
  if (error == ERROR_ACCESS_DENIED || error == ERROR_WRITE_PROTECT) {
    return std::make_unique<StateLock>();  // a folder that cannot be written
  }
  ReportLockFailure(path, "error " + std::to_string(error));
  return nullptr;
}

std::unique_ptr<HostLink> OpenLink(const char* statePath, bool* inUse) {
  LinkState state = LoadForLink(statePath, inUse);
  if (!state.state) return nullptr;
  HANDLE hostEnd = INVALID_HANDLE_VALUE;
  HANDLE emulatorEnd = INVALID_HANDLE_VALUE;
  if (!MakePipe(&hostEnd, &emulatorEnd)) return nullptr;
  auto link = StartLink(ToInt(hostEnd), CloseHost, std::make_unique<PipeEnd>(emulatorEnd),
                        statePath, std::move(state));
  if (!link) CloseHandle(hostEnd);
  return link;
}

}  // namespace vantor::sim
