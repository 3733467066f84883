// The history's records paired into attempts and filtered, in two passes.
#include "query.h"

#include <regex>
#include <unordered_map>
#include <utility>

#include "hex.h"

namespace vantor::history {
namespace {

// The fields of a "started" record that the first pass keeps (for an
// attempt that may never end, a fifth of the memory of the whole record).
Record Kept(const Record& started) {
  std::string line = "{";
  for (const char* key :
       {"attempt", "batch", "time", "reader_path", "serial", "file_name", "raw"}) {
    const std::string_view value = started.Value(key);
    if (value.empty()) continue;
    line += line.size() > 1 ? ",\"" : "\"";
    line += key;
    line += "\":";
    line += value;
  }
  Record kept;
  kept.Parse(line + "}");
  return kept;
}

}  // namespace

const char kUnended[] = "interrupted (no end recorded)";

std::string Attempt::Bytes(std::string_view key) const {
  Record raw;
  const std::string_view rawJson = base().Value("raw");
  if (!rawJson.empty() && raw.Parse(std::string(rawJson))) {
    std::string bytes;
    if (text::FromHex(raw.Text(key), &bytes) && !bytes.empty()) return bytes;
  }
  return Text(key);
}

std::string NormalTime(const std::string& text) {
  static const std::regex kTime(
      R"((\d{4})-(\d\d)-(\d\d)(?:[T ](\d\d):(\d\d)(?::(\d\d)(?:\.(\d{1,3}))?)?)?Z?)");
  std::smatch m;
  if (!std::regex_match(text, m, kTime)) return "";
  const auto number = [&](int i) { return m[i].matched ? std::stoi(m[i].str()) : 0; };
  const int year = number(1), month = number(2);
  const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
  const int days = month == 2                                              ? (leap ? 29 : 28)
                   : month == 4 || month == 6 || month == 9 || month == 11 ? 30
                                                                           : 31;
  if (month < 1 || month > 12 || number(3) < 1 || number(3) > days || number(4) > 23 ||
      number(5) > 59 || number(6) > 59) {
    return "";
  }
  char normal[32];
  std::snprintf(normal, sizeof normal, "%s-%s-%sT%02d:%02d:%02d.%sZ", m[1].str().c_str(),
                m[2].str().c_str(), m[3].str().c_str(), number(4), number(5), number(6),
                (m[7].str() + "000").substr(0, 3).c_str());
  return normal;
}

bool Query::Passes(const Attempt& attempt) const {
  const std::string result = attempt.Result();
  return (filter_.since.empty() || attempt.Time() >= filter_.since) &&
         (filter_.serial.empty() || attempt.Text("serial") == filter_.serial) &&
         (filter_.batch.empty() || attempt.Text("batch") == filter_.batch) &&
         (!filter_.failed || (result != "success" && result != "nothing-sent"));
}

// Calls onRecord(record, isStarted) for the history records among the first
// maxLines lines of file; counts the other lines in skipped_.
template <class OnRecord>
std::uint64_t Query::ForEachRecord(std::FILE* file, std::uint64_t maxLines, OnRecord onRecord) {
  LineReader reader(file);
  std::string line;
  std::uint64_t lines = 0;
  for (; lines < maxLines && reader.Next(&line); ++lines) {
    Record record;
    const bool parsed = record.Parse(std::move(line));
    const std::string event = parsed ? record.Text("event") : "";
    if ((event != "started" && event != "finished") || record.Text("attempt").empty()) {
      ++skipped_;
      continue;
    }
    onRecord(record, event == "started");
  }
  skipped_ += reader.tooLong();
  return lines;
}

bool Query::Measure(std::FILE* file, const Each& each) {
  const auto count = [&](const Attempt& attempt) {
    if (!Passes(attempt)) return;
    ++passed_;
    each(attempt);
  };
  std::unordered_map<std::string, Record> waiting;
  lines_ = ForEachRecord(file, UINT64_MAX, [&](Record& record, bool started) {
    const std::string id = record.Text("attempt");
    if (started) {
      waiting[id] = Kept(record);
      return;
    }
    const auto it = waiting.find(id);
    count({it != waiting.end() ? &it->second : nullptr, &record});
    if (it != waiting.end()) waiting.erase(it);
  });
  for (const auto& [id, started] : waiting) {
    count({&started, nullptr});
    unended_.insert(id);
  }
  return !std::ferror(file);
}

void Query::Visit(std::FILE* file, const Each& each) {
  std::rewind(file);
  const std::uint64_t limit =
      filter_.limit < 0 ? passed_ : static_cast<std::uint64_t>(filter_.limit);
  std::uint64_t skip = passed_ > limit ? passed_ - limit : 0;
  const auto emit = [&](const Attempt& attempt) {
    if (!Passes(attempt)) return;
    if (skip > 0) {
      --skip;
      return;
    }
    each(attempt);
  };
  std::unordered_map<std::string, Record> waiting;
  const std::uint64_t skippedBefore = skipped_;
  ForEachRecord(file, lines_, [&](Record& record, bool started) {
    const std::string id = record.Text("attempt");
    if (started && unended_.count(id) == 0) {
      waiting[id] = std::move(record);
    } else if (started) {
      emit({&record, nullptr});
    } else {
      const auto it = waiting.find(id);
      emit({it != waiting.end() ? &it->second : nullptr, &record});
      if (it != waiting.end()) waiting.erase(it);
    }
  });
  skipped_ = skippedBefore;
}

bool FindDone(std::FILE* file, const std::string& serial, const std::string& sha256, Done* done,
              bool* readFailed) {
  bool found = false;
  Query query{Filter{}};
  *readFailed = !query.Measure(file, [&](const Attempt& attempt) {
    const std::string result = attempt.Result();
    if ((result != "success" && result != "nothing-sent") || attempt.Text("sha256") != sha256 ||
        attempt.Bytes("serial") != serial) {
      return;
    }
    const std::string time = attempt.Time();
    if (found && time < done->time) return;
    *done = {attempt.Text("attempt"), time};
    found = true;
  });
  return found;
}

}  // namespace vantor::history
