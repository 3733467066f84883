// Reading the history back as attempts: the records paired by attempt id
// and filtered. The file is read twice, as a stream each time, so that
// memory does not grow with the number of attempts: the first pass finds
// the attempts that have no "finished" record and counts those the filter
// passes; the second hands them out. An attempt is handed out where it was
// last heard of: at its "finished" record, or, when it has none, at its
// "started" one. Held in memory: the "started" records still waiting for
// their "finished" (a few while downloads overlap, and, in the first pass,
// a part of the record of every attempt that never ended), and the ids of
// the unended attempts.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>

#include "record.h"

namespace vantor::history {

// The result of an attempt that has no "finished" record.
extern const char kUnended[];  // "interrupted (no end recorded)"

// An attempt: its "started" and "finished" records, either maybe missing.
struct Attempt {
  const Record* started;
  const Record* finished;

  const Record& base() const { return finished ? *finished : *started; }
  bool ended() const { return finished != nullptr; }
  // Where the two records differ (the time), the "finished" one has the rest.
  std::string Text(std::string_view key) const { return base().Text(key); }
  // A string field's bytes: those the record keeps in "raw" when they were
  // not UTF-8, otherwise Text(key).
  std::string Bytes(std::string_view key) const;
  // The start, or the end when the "started" record is missing.
  std::string Time() const { return started ? started->Text("time") : finished->Text("time"); }
  std::string Result() const { return ended() ? finished->Text("result") : kUnended; }
};

// Which attempts a query passes; an empty field passes all.
struct Filter {
  std::string since;    // started at or after this time, as NormalTime gives it
  std::string serial;   // the reader with this serial number
  std::string batch;    // this download --all
  bool failed = false;  // only attempts that did not succeed, and unended ones
  long limit = -1;      // only the newest N (-1 all)
};

// "2026-12-07", "2026-12-07T08:00", "2026-12-07 08:00:00.5Z", ... (UTC) as
// the history writes times, so that they compare as strings; "" if not one.
std::string NormalTime(const std::string& text);

class Query {
 public:
  using Each = std::function<void(const Attempt&)>;

  explicit Query(Filter filter) : filter_(std::move(filter)) {}

  bool Passes(const Attempt& attempt) const;

  // The first pass, over file from where it stands: calls each for every
  // attempt the filter passes (--limit aside), in no particular order. The
  // "started" record of an attempt with no end holds only attempt, batch,
  // time, reader_path, serial, file_name and raw here. false (errno set)
  // when file could not be read.
  bool Measure(std::FILE* file, const Each& each);
  // The second pass, over the lines the first one read (file is rewound):
  // calls each for the newest filter.limit attempts the filter passes,
  // oldest first.
  void Visit(std::FILE* file, const Each& each);

  // Attempts the filter passes (after Measure).
  std::uint64_t passed() const { return passed_; }
  // Lines that are no history record (after Measure).
  std::uint64_t skipped() const { return skipped_; }

 private:
  template <class OnRecord>
  std::uint64_t ForEachRecord(std::FILE* file, std::uint64_t maxLines, OnRecord onRecord);

  const Filter filter_;
  std::unordered_set<std::string> unended_;
  std::uint64_t lines_ = 0, passed_ = 0, skipped_ = 0;
};

// An attempt that succeeded: the newest one of a reader with a file.
struct Done {
  std::string attempt, time;  // its id and start
};

// The newest attempt in the history file (from where it stands) that sent
// the file of this SHA-256 into the reader with this serial number (its
// bytes) and succeeded, in *done; false when there is none. *readFailed
// (errno set) when the file could not be read.
bool FindDone(std::FILE* file, const std::string& serial, const std::string& sha256, Done* done,
              bool* readFailed);

}  // namespace vantor::history
