#include "watch_common.h"

#include <filesystem>
#include <system_error>

#include "os.h"
#include "readers.h"
#include "sim_link.h"

namespace vantor::watch {
namespace {

void Report(PlugEvent::Kind kind, const std::string& path, std::vector<PlugEvent>* events) {
  PlugEvent event;
  event.kind = kind;
  event.path = path;
  events->push_back(std::move(event));
}

}  // namespace

void Present::Become(const std::vector<std::string>& now, std::vector<PlugEvent>* events) {
  const std::set<std::string> next(now.begin(), now.end());
  for (auto it = paths_.begin(); it != paths_.end();) {
    if (next.count(*it) == 0) {
      Report(PlugEvent::Kind::kDetached, *it, events);
      it = paths_.erase(it);
    } else {
      ++it;
    }
  }
  for (const auto& path : now) Add(path, events);
}

void Present::Add(const std::string& path, std::vector<PlugEvent>* events) {
  if (paths_.insert(path).second) Report(PlugEvent::Kind::kAttached, path, events);
}

void Present::Remove(const std::string& path, std::vector<PlugEvent>* events) {
  if (paths_.erase(path) != 0) Report(PlugEvent::Kind::kDetached, path, events);
}

SimReaders::SimReaders(const std::vector<std::string>& entries) {
  std::set<std::string> seen;  // as sim::StateFileKey names files and folders
  for (const auto& entry : entries) {
    if (!seen.insert(sim::StateFileKey(entry)).second) continue;
    const bool folder = IsReaderFolder(entry);
    entries_.push_back(entry);
    isFolder_.push_back(folder);
    if (folder) folders_.push_back(WatchedFolder{entry, {}});
  }
}

bool SimReaders::Start(std::vector<PlugEvent>* events, std::string* error) {
  std::size_t folder = 0;
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    if (!isFolder_[i]) {
      Report(PlugEvent::Kind::kAttached, entries_[i], events);
    } else if (!Relist(folder++, events, error)) {
      return false;
    }
  }
  return true;
}

void SimReaders::Appeared(std::size_t i, const std::string& name, std::vector<PlugEvent>* events) {
  if (!IsStateFileName(name)) return;
  const std::string path = StateFileInFolder(folders_[i].path, name);
  if (folders_[i].present.Has(path)) return;  // rewritten in place: no plug
  std::error_code ec;
  if (std::filesystem::is_regular_file(path, ec)) folders_[i].present.Add(path, events);
}

void SimReaders::Went(std::size_t i, const std::string& name, std::vector<PlugEvent>* events) {
  if (IsStateFileName(name))
    folders_[i].present.Remove(StateFileInFolder(folders_[i].path, name), events);
}

bool SimReaders::Relist(std::size_t i, std::vector<PlugEvent>* events, std::string* error) {
  std::error_code ec;
  if (!std::filesystem::is_directory(folders_[i].path, ec)) {
    *error = FolderError(folders_[i].path, ec ? ec.message() : "it is gone");
    return false;
  }
  folders_[i].present.Become(StateFilesIn(folders_[i].path), events);
  return true;
}

bool WatchBase::Wait(int timeoutMs, std::vector<PlugEvent>* events, std::string* error) {
  const std::size_t before = events->size();
  if (failure_.empty() && !started_) {
    started_ = true;
    if (Start(events, &failure_) && events->size() != before) return true;
  }
  if (failure_.empty() && Changes(Deadline(timeoutMs), before, events, &failure_)) return true;
  *error = failure_;
  return false;
}

void ListAttached(Present* present, std::vector<PlugEvent>* events) {
  std::vector<std::string> now;
  for (const auto& device : os::ListDevices(false)) now.push_back(device.path);
  present->Become(now, events);
}

std::string FolderError(const std::string& folder, const std::string& reason) {
  return "folder " + folder + ": " + reason;
}

int Deadline::LeftMs() const {
  // Rounded up: a wait of what is left never ends before the deadline.
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(end_ - std::chrono::steady_clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

}  // namespace vantor::watch
