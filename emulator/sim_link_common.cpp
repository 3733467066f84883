#include "sim_link_common.h"

#include <atomic>
#include <filesystem>
#include <memory>
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

class Link : public HostLink {
 public:
  Link(int host, bool (*closeHost)(int)) : host_(host), closeHost_(closeHost) {}
  ~Link() override {
    if (thread_.joinable()) Close();
  }

  int handle() const override { return host_; }

  bool Close() override {
    if (!thread_.joinable()) return false;  // closed before
    // A report still on its way is lost, however slow the link is paced.
    stop_->Stop();
    const bool ok = closeHost_(host_);
    thread_.join();
    if (!outcome_->failure.empty()) RecordFailure(outcome_->failure);
    // A state that could not be written is a failed close for the caller.
    return ok && outcome_->saved;
  }

  void Forget() override {
    if (!thread_.joinable()) return;
    // Its emulator has already seen the end of its link.
    stop_->Stop();
    thread_.join();
  }

  std::thread thread_;
  const std::shared_ptr<LinkStop> stop_ = std::make_shared<LinkStop>();
  const std::shared_ptr<LinkOutcome> outcome_ = std::make_shared<LinkOutcome>();

 private:
  const int host_;
  bool (*const closeHost_)(int);
};

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
  link.lock.reset();  // before the host's close returns: the next link may start
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

std::unique_ptr<HostLink> StartLink(int host, bool (*closeHost)(int),
                                    std::unique_ptr<ReaderEnd> end, const char* statePath,
                                    LinkState state) {
  try {
    auto link = std::make_unique<Link>(host, closeHost);
    link->thread_ = std::thread(Run, std::move(end), std::string(statePath), std::move(state),
                                link->stop_, link->outcome_);
    return link;
  } catch (const std::exception&) {
    return nullptr;  // the end closes itself when it is destroyed
  }
}

}  // namespace vantor::sim
