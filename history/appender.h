// The download history's file: an append-only file of JSON Lines, two
// records per download attempt ("started" before the first command that
// changes the reader, "finished" at its end) sharing a random attempt id.
// Records of several processes and threads go into one file without
// interleaving: each is one write of a whole line in append mode under an
// exclusive lock.
//
// A download uses it as follows; any false means the history cannot account
// for the attempt, so the download must not start (exit 1, printing error):
//
//   history::Place place = history::Locate(noHistory, /*window=*/false);
//   history::Appender appender;                  // one for a whole batch will do
//   if (!place.error.empty()) fail(place.error);
//   if (place.on() && !appender.Open(place, &error)) fail(error);  // checks, makes nothing
//   history::Facts facts;      // attempt = NewId(), the facts of the file as it was loaded
//   if (place.on() && !appender.Append(history::StartedRecord(facts), &error)) fail(error);
//   ... the download ...
//   appender.Append(history::FinishedRecord(facts, end), &error);
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "place.h"

namespace vantor::history {

// Appending records. Thread-safe; the file is shared with other processes
// through an exclusive lock (flock on Linux, LockFileEx on Windows).
class Appender {
 public:
  Appender() = default;
  ~Appender();
  Appender(const Appender&) = delete;
  Appender& operator=(const Appender&) = delete;

  // Takes the place and checks it without making anything: the history
  // is a regular file this user may write, or does not exist yet below a
  // folder that takes new entries. A link in its last component, a FIFO,
  // a device or a folder there is refused. false with *error =
  // "cannot write the download history FILE: REASON" (REASON from the OS
  // or the refusal; a file or folder that belongs to another user is named
  // with its owner and the ways around it).
  bool Open(const Place& place, std::string* error);
  // Appends line (one record, without its newline) and a newline with one
  // write under the lock, and flushes it to the disk before returning
  // (sync = false skips that, for tests and bulk writers); a flush that
  // fails fails the record. The first append makes the missing folders
  // and opens (creating) the file, never through a link and only when it
  // is a regular file, so a command that records nothing leaves nothing
  // behind. A last line that an earlier crash left without its newline is
  // ended first, so that it cannot swallow this record. false with *error
  // as Open's.
  bool Append(const std::string& line, std::string* error, bool sync = true);
  // The lines as one append: all of them, or (when the write or the flush
  // fails) none: the file is cut back to where it was (Linux).
  bool Append(const std::vector<std::string>& lines, std::string* error, bool sync = true);
  const std::string& file() const { return file_; }

 private:
  bool Fail(std::string* error, const std::string& reason) const;
  bool Denied(std::string* error, int code) const;  // Fail, naming another user's file
  bool OpenFile(std::string* error);                // under lock_, on the first append

  std::mutex lock_;  // the lock file locks are per open file, not per thread
  std::intptr_t handle_ = -1;
  std::string file_;
  bool privateFolders_ = false;
};

// Opens the history at path (UTF-8 on Windows) for binary reading, refusing
// what Appender::Open refuses. nullptr with *refusal = the reason when it
// is not a regular file (or is a link), or with "" and errno set when it
// cannot be opened (ENOENT: it does not exist).
std::FILE* OpenForReading(const std::string& path, std::string* refusal);

}  // namespace vantor::history
