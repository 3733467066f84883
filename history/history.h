// The download history: an append-only file of JSON Lines, two records per
// download attempt ("started" before the first command that changes the
// reader, "finished" at its end) sharing a random attempt id. Records of
// several processes and threads go into one file without interleaving: each
// is one write of a whole line in append mode under an exclusive lock.
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
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "hex.h"

namespace vantor::history {

// ---- Where the history is kept.
struct Place {
  std::string file;  // the history file; "" when the history is off
  // The default place: missing folders are made for the user alone (0700).
  bool privateFolders = false;
  // Set when the history is on but has no place (Linux: no home folder;
  // Windows: no local application data folder); a download must not start.
  std::string error;
  bool on() const { return !file.empty(); }
};

// VANTOR_HISTORY=FILE moves the history to FILE, VANTOR_HISTORY=off (or
// noHistory, from --no-history) turns it off. Otherwise (unset or empty):
// Linux: $XDG_STATE_HOME/vantortool/history.jsonl, or
// $HOME/.local/state/vantortool/history.jsonl when XDG_STATE_HOME is unset,
// empty or not an absolute path; Windows: %LOCALAPPDATA%\VantorTool\history.jsonl.
// The window (window = true) records only when VANTOR_HISTORY names a file.
// Paths are UTF-8 on Windows, the bytes the OS gives on Linux.
Place Locate(bool noHistory, bool window);

// ---- Appending records. Thread-safe; the file is shared with other
// processes through an exclusive lock (flock on Linux, LockFileEx on Windows).
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

// ---- Building records (one line of JSON each, without the newline).
enum class Kind { kScript, kFirmware, kNothing };  // header =F firmware, =E nothing
enum class Result { kSuccess, kFailed, kInterrupted, kNothingSent };

// The attempt's facts, the same in both records. Strings are byte strings
// (UTF-8 on Windows): what is not valid UTF-8 goes into the record by the
// "raw" rule (SetString).
struct Facts {
  std::string attempt;  // NewId()
  std::string batch;    // NewId() shared by the readers of one download --all; "" otherwise
  std::string readerPath;
  std::string serial;          // the reader's USB serial number string, "" when none
  std::string usbPath;         // Linux: sysfs name such as "1-1.3"; "" when none
  std::string fileName;        // the name sent to the reader
  std::string filePath;        // the full path
  std::uint64_t fileSize = 0;  // of the bytes loaded, which are the bytes sent
  std::string sha256;          // Sha256 of the same bytes
  Kind kind = Kind::kScript;
  std::uint8_t header[3] = {0, 0, 0};  // the header line's three bytes
  long lines = 0;                      // entries in the loaded line table
};

// How the attempt ended.
struct End {
  std::int64_t durationMs = 0;
  long recordsSent = 0;  // lines the reader accepted
  Result result = Result::kFailed;
  std::string failedStep;  // the failing step's text as the pane shows it; "" for none
  int exitCode = 1;        // 0 success, 1 failed, 128 + signal interrupted
};

// 32 lower-case hex digits from 128 random bits (std::random_device).
std::string NewId();
// The current UTC time as "2026-12-07T08:00:00.123Z".
std::string UtcNow();
// The records, stamped with the current time and this host's name.
std::string StartedRecord(const Facts& facts);
std::string FinishedRecord(const Facts& facts, const End& end);

// ---- JSON text that never makes nlohmann's dump throw (type_error 316 on
// invalid UTF-8). Use these for every string that comes from the OS or a
// file (paths, file names, serial numbers, host names).

// bytes as a valid UTF-8 string: sequences that are valid UTF-8 stay, each
// other byte becomes the character of the same value, U+0080..U+00FF (its
// Latin-1 reading). *wasRaw tells whether any byte was replaced.
std::string JsonString(const std::string& bytes, bool* wasRaw = nullptr);

// object[field] = JsonString(bytes); when bytes are not valid UTF-8 also
// object["raw"][field] = the bytes in lower-case hex, from which a reader
// gets them back.
template <class Json>
void SetString(Json& object, const std::string& field, const std::string& bytes) {
  bool raw = false;
  object[field] = JsonString(bytes, &raw);
  if (raw) object["raw"][field] = text::ToLowerHex(bytes);
}

// dump() that cannot throw: a string left with invalid UTF-8 (one not set
// through JsonString) shows U+FFFD for the bad bytes instead.
template <class Json>
std::string Dump(const Json& value, int indent = -1) {
  return value.dump(indent, ' ', false, Json::error_handler_t::replace);
}

// ---- Files.

// SHA-256 of bytes given in pieces: libcrypto on Linux, BCrypt on Windows.
// The constructor throws std::runtime_error when SHA-256 is not available.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  // Starts again, forgetting the bytes given so far.
  void Restart();
  void Update(const char* data, std::size_t size);
  // 64 lower-case hex digits of the bytes given since the start; ends the hash.
  std::string Final();
  std::uint64_t size() const { return size_; }

 private:
  struct State;
  State* state_;
  std::uint64_t size_ = 0;
};

// Opens the history at path (UTF-8 on Windows) for binary reading, refusing
// what Appender::Open refuses. nullptr with *refusal = the reason when it
// is not a regular file (or is a link), or with "" and errno set when it
// cannot be opened (ENOENT: it does not exist).
std::FILE* OpenForReading(const std::string& path, std::string* refusal);

// The lines of a file, read in bounded memory: a line longer than maxLength
// (a torn or foreign file) is skipped and counted, never held.
class LineReader {
 public:
  explicit LineReader(std::FILE* file, std::size_t maxLength = 1 << 20)
      : file_(file), maxLength_(maxLength) {}
  // The next line without its newline; false at the end of the file.
  bool Next(std::string* line);
  std::uint64_t tooLong() const { return tooLong_; }

 private:
  std::FILE* file_;
  std::size_t maxLength_;
  std::uint64_t tooLong_ = 0;
  std::string buffer_;  // read ahead from file_; buffer_[pos_..] not yet taken
  std::size_t pos_ = 0;
};

// A history line read back without building a document (several times
// faster than a full parse, for histories of 100,000s of attempts): the
// members of one JSON object, each value as its JSON text. Keys are
// compared as written: the history's keys have no escapes.
class Record {
 public:
  // Takes line when it is one JSON object (RFC 8259, UTF-8, at most 64
  // levels deep); false otherwise.
  bool Parse(std::string line);
  std::size_t size() const { return members_.size(); }
  std::string_view Key(std::size_t i) const { return Slice(members_[i].key); }
  std::string_view Value(std::size_t i) const { return Slice(members_[i].value); }
  // The value of key as JSON text; "" when absent (the last one when repeated).
  std::string_view Value(std::string_view key) const;
  // The string value of key, unescaped; "" when absent or not a string.
  std::string Text(std::string_view key) const;

 private:
  struct Span {
    std::uint32_t at, length;
  };
  struct Member {
    Span key, value;
  };
  std::string_view Slice(Span span) const {
    return std::string_view(line_).substr(span.at, span.length);
  }
  std::string line_;
  std::vector<Member> members_;
};

// This computer's name (gethostname, GetComputerNameW), "" when unknown.
std::string HostName();

}  // namespace vantor::history
