// The emulated reader on Windows: a message-mode named pipe carries one
// report per message; a thread serves the emulator's (server) end. The
// host's end is opened for overlapped I/O like a HID device.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "emulator/link_clock.h"
#include "emulator/sim_link.h"
#include "emulator/sim_reader.h"
#include "emulator/sim_state.h"
#include "reader/frame.h"

namespace vantor::sim {
namespace {

struct Link {
  std::thread thread;
  std::shared_ptr<bool> saved;  // set by the thread before it ends
};

struct Registry {
  std::mutex mutex;
  std::map<int, Link> links;  // host end -> serving thread
};

// Never destroyed: a process may end with links still open, and destroying
// a joinable std::thread would abort it.
Registry& TheRegistry() {
  static Registry* registry = new Registry;
  return *registry;
}

void Report(const std::string& path, const std::string& message) {
  std::fprintf(stderr, "vantor emulator: state file %s: %s\n", path.c_str(), message.c_str());
}

bool SendFrame(HANDLE pipe, const Bytes& frame, LinkClock& clock) {
  std::uint8_t report[kReportSize];
  const std::size_t count = ReportCount(frame.size());
  for (std::size_t i = 0; i < count; ++i) {
    clock.WaitForFrame();
    CutReport(frame.data(), frame.size(), i, kInputReportId, report);
    DWORD sent = 0;
    if (!WriteFile(pipe, report, sizeof report, &sent, nullptr) || sent != sizeof report) {
      return false;
    }
  }
  return true;
}

void Serve(HANDLE pipe, SimState& state) {
  SimReader reader(state);
  LinkClock clock(state.linkMsPerReport);
  std::uint8_t report[kReportSize];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(pipe, report, sizeof report, &got, nullptr)) {
      // A message longer than a report is cut to one; anything else
      // (mostly the host closing its end) ends the link.
      if (GetLastError() != ERROR_MORE_DATA) return;
      got = sizeof report;
      std::uint8_t rest[256];
      DWORD skipped = 0;
      while (!ReadFile(pipe, rest, sizeof rest, &skipped, nullptr) &&
             GetLastError() == ERROR_MORE_DATA) {
      }
    }
    if (got == 0) continue;
    clock.WaitForFrame();
    const Reply reply = reader.FeedReport(report, got);
    if (reply.kind == Reply::kDisconnect) return;
    if (reply.kind == Reply::kAnswer && !SendFrame(pipe, reply.frame, clock)) {
      return;
    }
  }
}

void Run(HANDLE pipe, std::string path, std::unique_ptr<SimState> state,
         std::shared_ptr<bool> saved) {
  try {
    Serve(pipe, *state);
  } catch (const std::exception& e) {
    Report(path, std::string("emulator stopped: ") + e.what());
  }
  DisconnectNamedPipe(pipe);
  CloseHandle(pipe);
  std::string error;
  try {
    *saved = SaveState(path, *state, &error);
  } catch (const std::exception& e) {
    error = e.what();
  }
  if (!*saved) Report(path, "not written: " + error);
}

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

}  // namespace

int OpenLink(const char* statePath) {
  if (!statePath || !*statePath) {
    std::fprintf(stderr, "vantor emulator: no state file named\n");
    return -1;
  }
  const std::string path = statePath;
  std::unique_ptr<SimState> state;
  try {
    state = std::make_unique<SimState>(LoadState(path));
  } catch (const StateError& e) {
    Report(path, e.what());
    return -1;
  } catch (const std::exception& e) {
    Report(path, std::string("cannot be loaded: ") + e.what());
    return -1;
  }

  HANDLE hostEnd = INVALID_HANDLE_VALUE;
  HANDLE emulatorEnd = INVALID_HANDLE_VALUE;
  if (!MakePipe(&hostEnd, &emulatorEnd)) return -1;
  const int host = ToInt(hostEnd);

  Link link;
  link.saved = std::make_shared<bool>(false);
  try {
    link.thread = std::thread(Run, emulatorEnd, path, std::move(state), link.saved);
  } catch (const std::exception&) {
    CloseHandle(hostEnd);
    CloseHandle(emulatorEnd);
    return -1;
  }

  Link stale;
  try {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    auto& slot = registry.links[host];
    // A handle closed without CloseLink leaves its entry behind; its
    // emulator has already seen the end of its link.
    stale = std::move(slot);
    slot = std::move(link);
  } catch (const std::exception&) {
    CloseHandle(hostEnd);
    if (link.thread.joinable()) link.thread.join();
    return -1;
  }
  if (stale.thread.joinable()) stale.thread.join();
  return host;
}

bool CloseLink(int handle, bool* closed) {
  Link link;
  {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    const auto it = registry.links.find(handle);
    if (it == registry.links.end()) return false;
    link = std::move(it->second);
    // Unregistered before the close so a new link given the same handle
    // value cannot be mistaken for this one.
    registry.links.erase(it);
  }
  const bool ok =
      CloseHandle(reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(handle))) != FALSE;
  link.thread.join();
  // A state that could not be written is a failed close for the caller.
  if (closed) *closed = ok && *link.saved;
  return true;
}

}  // namespace vantor::sim
