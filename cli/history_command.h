// vantor history: the download history, one line (or JSON object) per attempt.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace CLI {
class App;
}

namespace vantor::cli {

struct HistoryQuery {
  bool json = false;    // a JSON array of attempt objects instead of the table
  std::string since;    // attempts started at or after this UTC time ("" all)
  std::string serial;   // only the reader with this serial number ("" all)
  bool failed = false;  // only attempts that did not succeed, and unended ones
  std::string batch;    // only this download --all ("" all)
  long limit = -1;      // only the newest N (-1 all)
};

// Adds the "history" command with its options (filling query) to app.
CLI::App* AddHistoryCommand(CLI::App& app, HistoryQuery& query);
// Prints the history's attempts that pass the query, newest last; the exit code.
int RunHistory(const HistoryQuery& query);
// What RunHistory prints, from the history's text in (read twice as a
// stream, rewound between the passes) to out: the table, or with
// query.json the JSON array. since is --since as the history writes times
// ("" for all). *skipped gets the lines that are no history record. false
// (errno set) when in could not be read; out is untouched then.
bool ShowHistory(std::FILE* in, std::FILE* out, const HistoryQuery& query, const std::string& since,
                 std::uint64_t* skipped);

}  // namespace vantor::cli
