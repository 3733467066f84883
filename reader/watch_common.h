// What both systems' watches share: the set of readers present, which turns
// a listing or a single change into plug events, and the emulated readers
// of VANTOR_READER_SIM with their folders. Each OS file learns of the
// changes its own way (watch_linux.cpp, watch_win32.cpp).
#pragma once

#include <chrono>
#include <set>
#include <string>
#include <vector>

#include "watch.h"

namespace vantor::watch {

// The readers present now, each once; it holds no more than that, however
// often they come and go.
class Present {
 public:
  // Reports what is in now and not here as attached (in now's order), what
  // is here and not in now as detached (before those), and keeps now.
  void Become(const std::vector<std::string>& now, std::vector<PlugEvent>* events);
  // Attached when not present yet; nothing otherwise.
  void Add(const std::string& path, std::vector<PlugEvent>* events);
  // Detached when present; nothing otherwise.
  void Remove(const std::string& path, std::vector<PlugEvent>* events);
  bool Has(const std::string& path) const { return paths_.count(path) != 0; }

 private:
  std::set<std::string> paths_;
};

// The emulated readers of VANTOR_READER_SIM: each state file attached for
// the whole watch, each folder with the state files present in it.
class SimReaders {
 public:
  // The entries as EmulatedEntries gives them; a folder named twice (by
  // any two names) is watched once.
  explicit SimReaders(const std::vector<std::string>& entries);

  std::size_t FolderCount() const { return folders_.size(); }
  const std::string& Folder(std::size_t i) const { return folders_[i].path; }

  // The first report: every state file and each folder's state files as
  // listed now, in search order. false (*error set) when a folder cannot
  // be read.
  bool Start(std::vector<PlugEvent>* events, std::string* error);
  // The file name in folder i appeared or was written: plugged in when it
  // is a state file that is not present yet.
  void Appeared(std::size_t i, const std::string& name, std::vector<PlugEvent>* events);
  // The file name left folder i: unplugged when it was present.
  void Went(std::size_t i, const std::string& name, std::vector<PlugEvent>* events);
  // Lists folder i again and reports the difference (after lost change
  // notices, or as the way of learning them); false (*error set) when it
  // is gone or cannot be read.
  bool Relist(std::size_t i, std::vector<PlugEvent>* events, std::string* error);

 private:
  struct WatchedFolder {
    std::string path;
    Present present;
  };
  std::vector<std::string> entries_;  // in order; folders_ gives theirs
  std::vector<bool> isFolder_;
  std::vector<WatchedFolder> folders_;
};

// What a Wait has left of its time-out.
class Deadline {
 public:
  explicit Deadline(int timeoutMs)
      : end_(std::chrono::steady_clock::now() +
             std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs)) {}
  int LeftMs() const;

 private:
  std::chrono::steady_clock::time_point end_;
};

// A watch as both systems run it: the first Wait reports what Start finds,
// each later one what Changes learns; once either fails, every Wait
// fails with its text.
class WatchBase : public ReaderWatch {
 public:
  bool Wait(int timeoutMs, std::vector<PlugEvent>* events, std::string* error) final;

 protected:
  // Appends the readers present now; false with *failure set when it
  // cannot.
  virtual bool Start(std::vector<PlugEvent>* events, std::string* failure) = 0;
  // Learns of changes until one was reported (events grew past before) or
  // until the deadline; false with *failure set when the watch cannot go
  // on.
  virtual bool Changes(const Deadline& deadline, std::size_t before, std::vector<PlugEvent>* events,
                       std::string* failure) = 0;

 private:
  bool started_ = false;
  std::string failure_;
};

// The emulated readers' watch, less how it learns of a folder's changes.
class SimWatch : public WatchBase {
 public:
  explicit SimWatch(const std::vector<std::string>& entries) : readers_(entries) {}

 protected:
  bool Start(std::vector<PlugEvent>* events, std::string* failure) override {
    return readers_.Start(events, failure);
  }

  SimReaders readers_;
};

// The attached readers as the device search lists them now, reported as
// the change from what present held.
void ListAttached(Present* present, std::vector<PlugEvent>* events);

// "folder PATH: REASON", the text a watch ends with when a folder goes.
std::string FolderError(const std::string& folder, const std::string& reason);

}  // namespace vantor::watch
