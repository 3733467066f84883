// The emulated reader on POSIX: a SOCK_SEQPACKET socket pair carries one
// report per message; a thread serves the emulator's end.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
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

bool SendFrame(int fd, const Bytes& frame, LinkClock& clock) {
  std::uint8_t report[kReportSize];
  const std::size_t count = ReportCount(frame.size());
  for (std::size_t i = 0; i < count; ++i) {
    clock.WaitForFrame();
    CutReport(frame.data(), frame.size(), i, kInputReportId, report);
    ssize_t sent;
    do {
      sent = ::send(fd, report, sizeof report, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent != static_cast<ssize_t>(sizeof report)) return false;
  }
  return true;
}

void Serve(int fd, SimState& state) {
  SimReader reader(state);
  LinkClock clock(state.linkMsPerReport);
  std::uint8_t report[kReportSize];
  for (;;) {
    const ssize_t got = ::recv(fd, report, sizeof report, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return;  // host closed its end, or the link broke
    clock.WaitForFrame();
    const Reply reply = reader.FeedReport(report, static_cast<std::size_t>(got));
    if (reply.kind == Reply::kDisconnect) return;
    if (reply.kind == Reply::kAnswer && !SendFrame(fd, reply.frame, clock)) {
      return;
    }
  }
}

void Run(int fd, std::string path, std::unique_ptr<SimState> state,
         std::shared_ptr<bool> saved) {
  try {
    Serve(fd, *state);
  } catch (const std::exception& e) {
    Report(path, std::string("emulator stopped: ") + e.what());
  }
  ::close(fd);
  std::string error;
  try {
    *saved = SaveState(path, *state, &error);
  } catch (const std::exception& e) {
    error = e.what();
  }
  if (!*saved) Report(path, "not written: " + error);
}

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

  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0) return -1;
  int host = fds[0];
  const int emulator = fds[1];
  if (host == 0) {
    // Callers take handle 0 for "not open".
    host = ::fcntl(fds[0], F_DUPFD_CLOEXEC, 3);
    ::close(fds[0]);
    if (host < 0) {
      ::close(emulator);
      return -1;
    }
  }

  Link link;
  link.saved = std::make_shared<bool>(false);
  try {
    link.thread = std::thread(Run, emulator, path, std::move(state), link.saved);
  } catch (const std::exception&) {
    ::close(host);
    ::close(emulator);
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
    ::close(host);
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
    // Unregistered before the close so a new link given the same
    // descriptor number cannot be mistaken for this one.
    registry.links.erase(it);
  }
  const bool ok = ::close(handle) == 0;
  link.thread.join();
  // A state that could not be written is a failed close for the caller.
  if (closed) *closed = ok && *link.saved;
  return true;
}

}  // namespace vantor::sim
