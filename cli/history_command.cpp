// vantor history. The file is read twice, as a stream each time, so that
// memory does not grow with the number of attempts: the first pass finds the
// attempts that have no "finished" record, counts the attempts shown and
// measures the columns; the second prints. An attempt is printed where it
// was last heard of: at its "finished" record, or, when it has none, at its
// "started" one. Held in memory: the "started" records still waiting for
// their "finished" (a few while downloads overlap, and, in the first pass,
// a part of the record of every attempt that never ended), and the ids of
// the unended attempts.
#include "history_command.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <memory>
#include <regex>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "commands.h"
#include "hex.h"
#include "history.h"
#include "terminal.h"

namespace vantor::cli {
namespace {

constexpr char kUnended[] = "interrupted (no end recorded)";

// An attempt: its "started" and "finished" records, either maybe missing.
struct Attempt {
  const history::Record* started;
  const history::Record* finished;

  const history::Record& base() const { return finished ? *finished : *started; }
  bool ended() const { return finished != nullptr; }
  // Where the two records differ (the time), the "finished" one has the rest.
  std::string Text(std::string_view key) const { return base().Text(key); }
  // A field for the terminal: the bytes the record keeps in "raw" when they
  // were not UTF-8, so a name is shown as vantor list shows it.
  std::string Shown(std::string_view key) const {
    history::Record raw;
    const std::string_view rawJson = base().Value("raw");
    if (!rawJson.empty() && raw.Parse(std::string(rawJson))) {
      std::string bytes;
      if (text::FromHex(raw.Text(key), &bytes) && !bytes.empty()) return cli::Shown(bytes);
    }
    return cli::Shown(Text(key));
  }
  // The start, or the end when the "started" record is missing.
  std::string Time() const { return started ? started->Text("time") : finished->Text("time"); }
  std::string Result() const { return ended() ? finished->Text("result") : kUnended; }
};

// The attempt as --json prints it: its id and batch, the times of its two
// records, whether it ended and how, then the other fields of its records.
std::string AttemptJson(const Attempt& attempt) {
  const history::Record& base = attempt.base();
  std::string out = "{";
  std::vector<std::string_view> added;  // each key once, whatever the records repeat
  const auto add = [&](std::string_view key, std::string_view value) {
    if (std::find(added.begin(), added.end(), key) != added.end()) return;
    added.push_back(key);
    out += out.size() > 1 ? ",\"" : "\"";
    out.append(key.data(), key.size());
    out += "\":";
    if (value.empty()) value = "null";
    out.append(value.data(), value.size());
  };
  add("attempt", base.Value("attempt"));
  add("batch", base.Value("batch"));
  add("started", attempt.started ? attempt.started->Value("time") : "");
  add("finished", attempt.finished ? attempt.finished->Value("time") : "");
  add("ended", attempt.ended() ? "true" : "false");
  add("result", attempt.ended() ? attempt.finished->Value("result") : "\"interrupted\"");
  for (std::size_t i = 0; i < base.size(); ++i) {
    const std::string_view key = base.Key(i);
    if (key != "schema" && key != "event" && key != "time" && key != "raw" &&
        (attempt.ended() || (key != "duration_ms" && key != "records_sent" &&
                             key != "failed_step" && key != "exit_code"))) {
      add(key, base.Value(key));  // a repeated key: its last value, as Value gives it
    }
  }
  if (!attempt.ended()) {
    for (const char* key : {"duration_ms", "records_sent", "failed_step", "exit_code"}) {
      add(key, "");
    }
  }
  if (!base.Value("raw").empty()) add("raw", base.Value("raw"));
  return out + "}";
}

// The fields of a "started" record that the first pass reads (for an
// attempt that may never end, a fifth of the memory of the whole record).
history::Record Kept(const history::Record& started) {
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
  history::Record kept;
  kept.Parse(line + "}");
  return kept;
}

std::size_t Width(const std::string& utf8) {
  std::size_t n = 0;
  for (unsigned char c : utf8) n += (c & 0xC0) != 0x80 ? 1 : 0;
  return n;
}

struct Columns {
  std::size_t result = 6, reader = 6, serial = 6, file = 4;
  void Fit(const Attempt& attempt) {
    result = std::max(result, Width(Shown(attempt.Result())));
    reader = std::max(reader, Width(attempt.Shown("reader_path")));
    serial = std::max(serial, Width(attempt.Shown("serial")));
    file = std::max(file, Width(attempt.Shown("file_name")));
  }
};

void Cell(std::string* line, const std::string& text, std::size_t width) {
  *line += text;
  line->append(width - std::min(width, Width(text)) + 2, ' ');
}

void PrintRow(std::FILE* out, const Columns& columns, const std::string& time,
              const std::string& result, const std::string& reader, const std::string& serial,
              const std::string& file, const std::string& seconds) {
  std::string line;
  Cell(&line, time, 24);
  Cell(&line, result, columns.result);
  Cell(&line, reader, columns.reader);
  Cell(&line, serial, columns.serial);
  Cell(&line, file, columns.file);
  // Right-aligned in 7 columns; however long (a crafted duration), the row
  // keeps its line break.
  line.append(7 - std::min<std::size_t>(7, seconds.size()), ' ');
  line += seconds + '\n';
  std::fputs(line.c_str(), out);
}

// "2026-12-07", "2026-12-07T08:00", "2026-12-07 08:00:00.5Z", ... (UTC) as
// the history writes times, so that they compare as strings; "" if not one.
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

class Query {
 public:
  Query(const HistoryQuery& query, std::string since, std::FILE* out)
      : query_(query), since_(std::move(since)), out_(out) {}

  bool Shows(const Attempt& attempt) const {
    const std::string result = attempt.Result();
    return (since_.empty() || attempt.Time() >= since_) &&
           (query_.serial.empty() || attempt.Text("serial") == query_.serial) &&
           (query_.batch.empty() || attempt.Text("batch") == query_.batch) &&
           (!query_.failed || (result != "success" && result != "nothing-sent"));
  }

  // Calls each(record, isStarted) for the history records among the first
  // maxLines lines of file; counts the other lines in skipped_.
  template <class Each>
  std::uint64_t ForEachRecord(std::FILE* file, std::uint64_t maxLines, Each each) {
    history::LineReader reader(file);
    std::string line;
    std::uint64_t lines = 0;
    for (; lines < maxLines && reader.Next(&line); ++lines) {
      history::Record record;
      const bool parsed = record.Parse(std::move(line));
      const std::string event = parsed ? record.Text("event") : "";
      if ((event != "started" && event != "finished") || record.Text("attempt").empty()) {
        ++skipped_;
        continue;
      }
      each(record, event == "started");
    }
    skipped_ += reader.tooLong();
    return lines;
  }

  // The first pass.
  std::uint64_t Measure(std::FILE* file) {
    std::unordered_map<std::string, history::Record> waiting;
    const std::uint64_t lines =
        ForEachRecord(file, UINT64_MAX, [&](history::Record& record, bool started) {
          const std::string id = record.Text("attempt");
          if (started) {
            waiting[id] = Kept(record);
            return;
          }
          const auto it = waiting.find(id);
          Count({it != waiting.end() ? &it->second : nullptr, &record});
          if (it != waiting.end()) waiting.erase(it);
        });
    for (const auto& [id, started] : waiting) {
      Count({&started, nullptr});
      unended_.insert(id);
    }
    return lines;
  }

  // The second pass, over the lines the first one read.
  void Print(std::FILE* file, std::uint64_t lines) {
    const std::uint64_t limit =
        query_.limit < 0 ? shown_ : static_cast<std::uint64_t>(query_.limit);
    skip_ = shown_ > limit ? shown_ - limit : 0;
    if (query_.json) {
      std::fputs("[", out_);
    } else {
      PrintRow(out_, columns_, "time", "result", "reader", "serial", "file", "seconds");
    }
    std::unordered_map<std::string, history::Record> waiting;
    const std::uint64_t skippedBefore = skipped_;
    ForEachRecord(file, lines, [&](history::Record& record, bool started) {
      const std::string id = record.Text("attempt");
      if (started && unended_.count(id) == 0) {
        waiting[id] = std::move(record);
      } else if (started) {
        Emit({&record, nullptr});
      } else {
        const auto it = waiting.find(id);
        Emit({it != waiting.end() ? &it->second : nullptr, &record});
        if (it != waiting.end()) waiting.erase(it);
      }
    });
    skipped_ = skippedBefore;
    if (query_.json) std::fputs(printed_ > 0 ? "\n]\n" : "]\n", out_);
  }

  std::uint64_t skipped() const { return skipped_; }

 private:
  void Count(const Attempt& attempt) {
    if (!Shows(attempt)) return;
    ++shown_;
    columns_.Fit(attempt);
  }

  void Emit(const Attempt& attempt) {
    if (!Shows(attempt)) return;
    if (skip_ > 0) {
      --skip_;
      return;
    }
    if (query_.json) {
      std::fputs(printed_ > 0 ? ",\n" : "\n", out_);
      std::fputs(AttemptJson(attempt).c_str(), out_);
    } else {
      char seconds[32] = "-";
      const std::string duration(attempt.ended() ? attempt.finished->Value("duration_ms") : "");
      if (!duration.empty() && (duration[0] == '-' || (duration[0] >= '0' && duration[0] <= '9'))) {
        std::snprintf(seconds, sizeof seconds, "%.2f",
                      std::strtod(duration.c_str(), nullptr) / 1000);
      }
      PrintRow(out_, columns_, Shown(attempt.Time()), Shown(attempt.Result()),
               attempt.Shown("reader_path"), attempt.Shown("serial"), attempt.Shown("file_name"),
               seconds);
    }
    ++printed_;
  }

  const HistoryQuery& query_;
  const std::string since_;
  std::FILE* const out_;
  std::unordered_set<std::string> unended_;
  Columns columns_;
  std::uint64_t shown_ = 0, skip_ = 0, printed_ = 0, skipped_ = 0;
};

}  // namespace

bool ShowHistory(std::FILE* in, std::FILE* out, const HistoryQuery& query, const std::string& since,
                 std::uint64_t* skipped) {
  Query run(query, since, out);
  const std::uint64_t lines = run.Measure(in);
  if (std::ferror(in)) return false;
  std::rewind(in);
  run.Print(in, lines);
  *skipped = run.skipped();
  return true;
}

CLI::App* AddHistoryCommand(CLI::App& app, HistoryQuery& query) {
  // An empty value would filter nothing: a usage error rather than "all".
  const CLI::Validator notEmpty(
      [](std::string& value) { return value.empty() ? std::string("an empty value") : ""; }, "");
  const CLI::Validator count(
      [](std::string& value) {
        const bool digits = !value.empty() && value.size() <= 18 &&
                            value.find_first_not_of("0123456789") == std::string::npos;
        return digits ? std::string() : "not a whole number of attempts (0 or more): " + value;
      },
      "");
  auto* command =
      app.add_subcommand("history", "Show the download history, one line per attempt, newest last");
  command->add_flag("--json", query.json, "Print the attempts as a JSON array");
  command
      ->add_option("--since", query.since,
                   "Only attempts started at or after this UTC time, e.g. 2026-12-07 or "
                   "2026-12-07T08:00:00Z")
      ->check(notEmpty);
  command->add_option("--serial", query.serial, "Only the reader with this USB serial number")
      ->check(notEmpty);
  command->add_flag("--failed", query.failed,
                    "Only attempts that did not succeed, and those with no end recorded");
  command->add_option("--batch", query.batch, "Only the readers of this download --all")
      ->check(notEmpty);
  command->add_option("--limit", query.limit, "Only the newest N attempts")->check(count);
  return command;
}

int RunHistory(const HistoryQuery& query) {
  const std::string since = query.since.empty() ? "" : NormalTime(query.since);
  if (!query.since.empty() && since.empty()) {
    std::fprintf(stderr,
                 "vantor: --since %s is no UTC date or time such as 2026-12-07 or "
                 "2026-12-07T08:00:00Z\n",
                 Shown(query.since).c_str());
    return kExitUsage;
  }
  const history::Place place = history::Locate(false, false);
  if (!place.error.empty()) {
    std::fprintf(stderr, "vantor: %s\n", Shown(place.error).c_str());
    return kExitUsage;
  }
  if (!place.on()) {
    std::fprintf(stderr, "vantor: the download history is off (VANTOR_HISTORY=off)\n");
    return kExitUsage;
  }
  const std::string shownFile = Shown(place.file);
  std::string refusal;
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(
      history::OpenForReading(place.file, &refusal), &std::fclose);
  if (!file && !refusal.empty()) {
    std::fprintf(stderr, "vantor: the download history %s %s\n", shownFile.c_str(),
                 refusal.c_str());
    return kExitFailed;
  }
  if (!file && errno == ENOENT) {
    std::fprintf(stderr, "vantor: no download recorded yet (%s does not exist)\n",
                 shownFile.c_str());
    if (query.json) std::fputs("[]\n", stdout);
    return kExitOk;
  }
  if (!file) {
    std::fprintf(stderr, "vantor: %s: %s\n", shownFile.c_str(), std::strerror(errno));
    return kExitUsage;
  }
  std::uint64_t skipped = 0;
  if (!ShowHistory(file.get(), stdout, query, since, &skipped)) {
    std::fprintf(stderr, "vantor: %s: %s\n", shownFile.c_str(), std::strerror(errno));
    return kExitUsage;
  }
  if (skipped > 0) {
    std::fprintf(stderr, "vantor: %s: %llu line%s skipped (no history record)\n", shownFile.c_str(),
                 static_cast<unsigned long long>(skipped), skipped == 1 ? "" : "s");
  }
  return kExitOk;
}

}  // namespace vantor::cli
