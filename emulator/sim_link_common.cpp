#include "sim_link_common.h"

#include <atomic>
#include <filesystem>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "sim_link.h"
#include "sim_reader.h"

namespace vantor::sim {
namespace {

// How a link's emulator ended, set by its thread before it ends.
struct LinkOutcome {
  bool saved = false;
  std::string failure;
};

struct Link {
  std::thread thread;
  std::shared_ptr<LinkStop> stop;
  std::shared_ptr<LinkOutcome> outcome;
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

thread_local std::string t_failure;
std::atomic<void (*)(const std::string&)> g_report{nullptr};

std::string Named(const std::string& path, const std::string& message) {
  return "state file " + path + ": " + message;
}

void Serve(ReaderEnd& end, SimState& state, LinkStop* stop) {
  SimReader reader(state);
  LinkClock clock(state.linkMsPerReport, stop);
  std::uint8_t report[kReportSize];
  for (;;) {
    std::size_t got = 0;
    if (!end.Receive(report, &got)) return;
    if (got == 0) continue;
    if (!clock.WaitForFrame()) return;
    const Reply reply = reader.FeedReport(report, got);
    if (reply.kind == Reply::kDisconnect) return;
    if (reply.kind != Reply::kAnswer) continue;
    const std::size_t count = ReportCount(reply.frame.size());
    for (std::size_t i = 0; i < count; ++i) {
      if (!clock.WaitForFrame()) return;
      CutReport(reply.frame.data(), reply.frame.size(), i, kInputReportId, report);
      if (!end.Send(report)) return;
    }
  }
}

void Run(std::unique_ptr<ReaderEnd> end, std::string path, LinkState link,
         std::shared_ptr<LinkStop> stop, std::shared_ptr<LinkOutcome> outcome) {
  outcome->saved = ServeAndSave(*end, path, *link.state, &outcome->failure, stop.get());
  link.lock.reset();  // before CloseLink returns: the next link may start
}

}  // namespace

void RecordFailure(const std::string& text) {
  t_failure = text;
  if (const auto report = g_report.load()) report(text);
}

std::string LastFailure() { return t_failure; }

void ClearFailure() { t_failure.clear(); }

void SetFailureReport(void (*report)(const std::string& text)) { g_report = report; }

std::string StateFileKey(const std::string& path) {
#ifndef _WIN32
  struct stat file {};
  if (::stat(path.c_str(), &file) == 0) {
    return "file " + std::to_string(file.st_dev) + ":" + std::to_string(file.st_ino);
  }
#endif
  // Not there yet: where it would be. Made absolute first, so that a name
  // in the current folder ("new.json") and the same with "./" agree.
  std::error_code ec;
  const auto absolute = std::filesystem::absolute(ResolveStatePath(path), ec);
  const auto resolved = ec ? absolute : std::filesystem::weakly_canonical(absolute, ec);
  return "path " + (ec ? path : resolved.string());
}

bool ServeAndSave(ReaderEnd& end, const std::string& path, SimState& state, std::string* failure,
                  LinkStop* stop) {
  failure->clear();
  try {
    Serve(end, state, stop);
  } catch (const std::exception& e) {
    *failure = Named(path, std::string("emulator stopped: ") + e.what());
  }
  end.Close();
  std::string notSaved;
  if (Save(path, state, &notSaved)) return true;
  *failure += (failure->empty() ? "" : "; ") + notSaved;
  return false;
}

bool Save(const std::string& path, const SimState& state, std::string* failure) {
  std::string error;
  bool saved = false;
  try {
    saved = SaveState(path, state, &error);
  } catch (const std::exception& e) {
    error = e.what();
  }
  if (!saved) *failure = Named(path, "not written: " + error);
  return saved;
}

LinkState LoadForLink(const char* statePath, bool* inUse) {
  LinkState link;
  bool held = false;
  if (!inUse) inUse = &held;
  *inUse = false;
  if (!statePath || !*statePath) {
    RecordFailure("no state file named");
    return link;
  }
  try {
    // One lock for every name of the file.
    link.lock = LockState(ResolveStatePath(statePath), inUse);
    if (link.lock) link.state = std::make_unique<SimState>(LoadState(statePath));
  } catch (const StateError& e) {
    RecordFailure(Named(statePath, e.what()));
  } catch (const std::exception& e) {
    RecordFailure(Named(statePath, std::string("cannot be loaded: ") + e.what()));
  }
  if (!link.state) link.lock.reset();
  return link;
}

void ReportLockFailure(const std::string& statePath, const std::string& reason) {
  RecordFailure(Named(statePath, "cannot be locked: " + reason));
}

bool InUse(const char* statePath) {
  bool inUse = false;
  if (statePath && *statePath) LockState(ResolveStatePath(statePath), &inUse);
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
  if (stale.stop) stale.stop->Stop();
  if (stale.thread.joinable()) stale.thread.join();

  Link link;
  try {
    link.stop = std::make_shared<LinkStop>();
    link.outcome = std::make_shared<LinkOutcome>();
    link.thread = std::thread(Run, std::move(end), std::string(statePath), std::move(state),
                              link.stop, link.outcome);
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
  // A report still on its way is lost, however slow the link is paced.
  link.stop->Stop();
  const bool ok = closeHost(handle);
  link.thread.join();
  if (!link.outcome->failure.empty()) RecordFailure(link.outcome->failure);
  // A state that could not be written is a failed close for the caller.
  if (closed) *closed = ok && link.outcome->saved;
  return true;
}

}  // namespace vantor::sim
