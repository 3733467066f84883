// vantor history: the attempts the query hands out, as a table or a JSON
// array. The table's columns are measured in the query's first pass and the
// rows printed in its second.
#include "history_command.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "appender.h"
#include "commands.h"
#include "place.h"
#include "query.h"
#include "record.h"
#include "terminal.h"

namespace vantor::cli {
namespace {

using history::Attempt;

// A field for the terminal: the bytes the record keeps in "raw" when they
// were not UTF-8, so a name is shown as vantor list shows it.
std::string ShownField(const Attempt& attempt, std::string_view key) {
  return Shown(attempt.Bytes(key));
}

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

std::size_t Width(const std::string& utf8) {
  std::size_t n = 0;
  for (unsigned char c : utf8) n += (c & 0xC0) != 0x80 ? 1 : 0;
  return n;
}

struct Columns {
  std::size_t result = 6, reader = 6, serial = 6, file = 4;
  void Fit(const Attempt& attempt) {
    result = std::max(result, Width(Shown(attempt.Result())));
    reader = std::max(reader, Width(ShownField(attempt, "reader_path")));
    serial = std::max(serial, Width(ShownField(attempt, "serial")));
    file = std::max(file, Width(ShownField(attempt, "file_name")));
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

// The attempt's row of the table.
void PrintAttempt(std::FILE* out, const Columns& columns, const Attempt& attempt) {
  char seconds[32] = "-";
  const std::string duration(attempt.ended() ? attempt.finished->Value("duration_ms") : "");
  if (!duration.empty() && (duration[0] == '-' || (duration[0] >= '0' && duration[0] <= '9'))) {
    std::snprintf(seconds, sizeof seconds, "%.2f", std::strtod(duration.c_str(), nullptr) / 1000);
  }
  PrintRow(out, columns, Shown(attempt.Time()), Shown(attempt.Result()),
           ShownField(attempt, "reader_path"), ShownField(attempt, "serial"),
           ShownField(attempt, "file_name"), seconds);
}

}  // namespace

bool ShowHistory(std::FILE* in, std::FILE* out, const HistoryQuery& query, const std::string& since,
                 std::uint64_t* skipped) {
  history::Filter filter;
  filter.since = since;
  filter.serial = query.serial;
  filter.batch = query.batch;
  filter.failed = query.failed;
  filter.limit = query.limit;
  history::Query run(std::move(filter));
  Columns columns;
  if (!run.Measure(in, [&](const Attempt& attempt) { columns.Fit(attempt); })) return false;
  if (query.json) {
    std::fputs("[", out);
  } else {
    PrintRow(out, columns, "time", "result", "reader", "serial", "file", "seconds");
  }
  std::uint64_t printed = 0;
  run.Visit(in, [&](const Attempt& attempt) {
    if (query.json) {
      std::fputs(printed > 0 ? ",\n" : "\n", out);
      std::fputs(AttemptJson(attempt).c_str(), out);
    } else {
      PrintAttempt(out, columns, attempt);
    }
    ++printed;
  });
  if (query.json) std::fputs(printed > 0 ? "\n]\n" : "]\n", out);
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
  const std::string since = query.since.empty() ? "" : history::NormalTime(query.since);
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
