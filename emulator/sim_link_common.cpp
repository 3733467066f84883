#include "sim_link_common.h"

#include <cstdio>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "link_clock.h"
#include "sim_reader.h"

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

void Serve(ReaderEnd& end, SimState& state) {
  SimReader reader(state);
  LinkClock clock(state.linkMsPerReport);
  std::uint8_t report[kReportSize];
  for (;;) {
    std::size_t got = 0;
    if (!end.Receive(report, &got)) return;
    if (got == 0) continue;
    clock.WaitForFrame();
    const Reply reply = reader.FeedReport(report, got);
    if (reply.kind == Reply::kDisconnect) return;
    if (reply.kind != Reply::kAnswer) continue;
    const std::size_t count = ReportCount(reply.frame.size());
    for (std::size_t i = 0; i < count; ++i) {
      clock.WaitForFrame();
      CutReport(reply.frame.data(), reply.frame.size(), i, kInputReportId, report);
      if (!end.Send(report)) return;
    }
  }
}

void Run(std::unique_ptr<ReaderEnd> end, std::string path, LinkState link,
         std::shared_ptr<bool> saved) {
  *saved = ServeAndSave(*end, path, *link.state);
  link.lock.reset();  // before CloseLink returns: the next link may start
}

}  // namespace

bool ServeAndSave(ReaderEnd& end, const std::string& path, SimState& state) {
  try {
    Serve(end, state);
  } catch (const std::exception& e) {
    Report(path, std::string("emulator stopped: ") + e.what());
  }
  end.Close();
  return Save(path, state);
}

bool Save(const std::string& path, const SimState& state) {
  std::string error;
  bool saved = false;
  try {
    saved = SaveState(path, state, &error);
  } catch (const std::exception& e) {
    error = e.what();
  }
  if (!saved) Report(path, "not written: " + error);
  return saved;
}

LinkState LoadForLink(const char* statePath, bool* inUse) {
  LinkState link;
  bool held = false;
  if (!inUse) inUse = &held;
  *inUse = false;
  if (!statePath || !*statePath) {
    std::fprintf(stderr, "vantor emulator: no state file named\n");
    return link;
  }
  try {
    link.lock = LockState(statePath, inUse);
    if (link.lock) link.state = std::make_unique<SimState>(LoadState(statePath));
  } catch (const StateError& e) {
    Report(statePath, e.what());
  } catch (const std::exception& e) {
    Report(statePath, std::string("cannot be loaded: ") + e.what());
  }
  if (!link.state) link.lock.reset();
  return link;
}

void ReportLockFailure(const std::string& statePath, const std::string& reason) {
  Report(statePath, "cannot be locked: " + reason);
}

bool InUse(const char* statePath) {
  bool inUse = false;
  if (statePath && *statePath) LockState(statePath, &inUse);
  return inUse;
}

bool StartLink(int host, std::unique_ptr<ReaderEnd> end, const char* statePath, LinkState state) {
  Registry& registry = TheRegistry();
  Link stale;
  try {
    // Take the registry slot first, so nothing can fail once the thread runs.
    std::lock_guard<std::mutex> lock(registry.mutex);
    auto& slot = registry.links[host];
    // A handle closed without CloseLink leaves its entry behind; its
    // emulator has already seen the end of its link.
    stale = std::move(slot);
    slot = Link{};
  } catch (const std::exception&) {
    return false;
  }
  if (stale.thread.joinable()) stale.thread.join();

  Link link;
  try {
    link.saved = std::make_shared<bool>(false);
    link.thread =
        std::thread(Run, std::move(end), std::string(statePath), std::move(state), link.saved);
  } catch (const std::exception&) {
    std::lock_guard<std::mutex> lock(registry.mutex);
    registry.links.erase(host);
    return false;  // the end closes itself when it is destroyed
  }
  std::lock_guard<std::mutex> lock(registry.mutex);
  registry.links.find(host)->second = std::move(link);
  return true;
}

bool FinishLink(int handle, bool (*closeHost)(int), bool* closed) {
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
  const bool ok = closeHost(handle);
  link.thread.join();
  // A state that could not be written is a failed close for the caller.
  if (closed) *closed = ok && *link.saved;
  return true;
}

}  // namespace vantor::sim
