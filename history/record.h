// The history's records: building them (one line of JSON each, without the
// newline), the JSON text helpers that keep any byte string writable, and
// reading the lines back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "hex.h"

namespace vantor::history {

// ---- Building records.
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

// The word a "finished" record gives the result: "success", "failed", ...
const char* ResultText(Result result);
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

// This computer's name (gethostname, GetComputerNameW), "" when unknown.
std::string HostName();

// ---- Reading the lines back.

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

}  // namespace vantor::history
