// The download history, its records, and `vantor history`.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <thread>
#include <utility>
#include <vector>

#include "cli_run.h"
#include "history/appender.h"
#include "history/query.h"
#include "history/record.h"
#include "history/sha256.h"

namespace vantor::test {
namespace {

namespace fs = std::filesystem;

TEST(HistoryPlace, FollowsTheEnvironment) {
  const struct {
    const char* history;
    const char* state;
    bool noHistory, window;
    const char* file;  // "*": folders made 0700
  } cases[] = {
      {"", "/s/", false, false, "/s/vantortool/history.jsonl*"},
      {nullptr, "rel", false, false, "/h/.local/state/vantortool/history.jsonl*"},
      {"/x", "/s", false, false, "/x"},
      {"/x", "/s", false, true, "/x"},
      {"/x", "/s", true, false, ""},
      {"off", "/s", false, false, ""},
      {nullptr, "/s", false, true, ""},
      {"off", "/s", false, true, ""},
  };
  for (const auto& c : cases) {
    ScopedEnv a("VANTOR_HISTORY", c.history), b("XDG_STATE_HOME", c.state), h("HOME", "/h/");
    const history::Place place = history::Locate(c.noHistory, c.window);
    EXPECT_EQ(place.file + (place.privateFolders ? "*" : ""), c.file)
        << (c.history ? c.history : "(unset)") << " " << c.state << " " << c.noHistory << c.window;
  }
}

// Threads (0 and 1 through one appender, the others each through its own file
// lock) append at once to a file whose last line a crash left unended: every
// record arrives whole, on its own line. The file and its private folders
// are made by the first record.
TEST(HistoryAppender, KeepsEveryRecordOfConcurrentWriters) {
  constexpr int kWriters = 6, kRecords = 100;
  TempDir dir;
  const history::Place place{dir.File("new/folder/history.jsonl"), true, ""};
  const auto appendAll = [&](history::Appender* appender, int writer) {
    bool ok = appender->file() == place.file || appender->Open(place, nullptr);
    for (int i = writer * 1000; i < writer * 1000 + kRecords; ++i) {
      const std::string record =
          "{\"id\":" + std::to_string(i) + ",\"pad\":\"" + std::string(5000, 'x');
      ok = appender->Append(record + "\"}", nullptr, i % 25 == 0) && ok;
    }
    return ok;
  };
  history::Appender shared;
  ASSERT_TRUE(shared.Open(place, nullptr));
  EXPECT_FALSE(fs::exists(dir.File("new")));  // made by the first record, not before
  ASSERT_TRUE(shared.Append("{}", nullptr));
  EXPECT_EQ(fs::status(dir.File("new/folder")).permissions(), fs::perms::owner_all);
  std::ofstream(place.file, std::ios::app) << "{\"torn";
  std::vector<std::thread> threads;
  for (int t = 0; t < kWriters; ++t) {
    threads.emplace_back([&, t] {
      history::Appender own;
      EXPECT_TRUE(appendAll(t < 2 ? &shared : &own, t));
    });
  }
  for (auto& thread : threads) thread.join();
  std::istringstream lines(ReadFile(place.file));
  std::string line;
  EXPECT_TRUE(std::getline(lines, line) && line == "{}");
  EXPECT_TRUE(std::getline(lines, line) && line == "{\"torn");
  std::set<int> ids;  // nlohmann throws on a line that is not JSON
  while (std::getline(lines, line)) ids.insert(nlohmann::json::parse(line)["id"].get<int>());
  EXPECT_EQ(ids.size(), std::size_t(kWriters * kRecords));
}

TEST(HistoryRecords, CarryTheAgreedFieldsAndTheFileHash) {
  history::Facts facts;
  facts.fileName = "d\xe9mo.bin", facts.filePath = "/p/d\xe9mo.bin";
  facts.kind = history::Kind::kFirmware;
  facts.header[0] = 0xF1, facts.header[2] = 0x05;
  const auto finished = nlohmann::ordered_json::parse(history::FinishedRecord(facts, {}));
  std::string keys;
  for (const auto& [key, value] : finished.items()) keys += key + " ";
  EXPECT_EQ(keys,
            "schema event attempt batch time host tool_version reader_path serial usb_path "
            "file_name file_path file_size sha256 kind header lines duration_ms records_sent "
            "result failed_step exit_code raw ");
  EXPECT_EQ(nlohmann::json::parse(history::StartedRecord(facts)).size(), 18u);
  EXPECT_TRUE(std::regex_match(history::NewId(), std::regex("[0-9a-f]{32}")));
  EXPECT_TRUE(std::regex_match(finished["time"].get<std::string>(),
                               std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")));
  EXPECT_GE(finished["time"].get<std::string>(), "2026") << "today's date, not a zeroed one";
  EXPECT_EQ(finished["file_name"], "d\u00e9mo.bin");
  EXPECT_EQ(finished["raw"].dump(),
            R"({"file_name":"64e96d6f2e62696e","file_path":"2f702f64e96d6f2e62696e"})");
  EXPECT_EQ(finished["header"], "F10005");
  EXPECT_EQ(finished["kind"], "firmware");

  // Valid UTF-8 is kept; each byte of what is not (a sequence cut short)
  // becomes its Latin-1 character.
  bool raw = true;
  EXPECT_EQ(history::JsonString("\xc3\xa9\xf0\x9f\x98\x80", &raw), "\xc3\xa9\xf0\x9f\x98\x80");
  EXPECT_FALSE(raw);
  EXPECT_EQ(history::JsonString("x\xe6\x97", &raw), "x\xc3\xa6\xc2\x97");
  EXPECT_TRUE(raw);
  EXPECT_EQ(history::Dump(nlohmann::json("\xff")), "\"\xef\xbf\xbd\"");  // no type_error 316

  history::Sha256 sha256;  // bytes given in pieces, after a start that was taken back
  sha256.Update("abc", 3);
  sha256.Restart();
  const std::string a(65536, 'a');
  for (int i = 0; i < 15; ++i) sha256.Update(a.data(), a.size());
  sha256.Update(a.data(), 1000000 - 15 * 65536);
  EXPECT_EQ(sha256.size(), 1000000u);
  EXPECT_EQ(sha256.Final(), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

// `vantor history ARGS` on the history file, after the shell command before.
CliRun History(const std::string& args, const std::string& file, const char* before = "") {
  static const TempDir dir;  // for stderr
  return RunShell(before + ("VANTOR_HISTORY='" + file + "' " VANTOR_CLI_PATH " history " + args),
                  dir.File("e"));
}

// A batch of two, an attempt with no end recorded, a control character,
// keys that --json adds itself.
const char kHistory[] =
    R"({"event":"started","attempt":"a1","batch":"b1","time":"2026-12-07T08:00:00.000Z","reader_path":"/dev/hidraw1","serial":"S1","file_name":"a.bin"}
{"event":"started","attempt":"a2","batch":"b1","time":"2026-12-07T08:00:00.010Z","reader_path":"/dev/hidraw2","serial":"S2","file_name":"a.bin"}
{"event":"finished","attempt":"a1","batch":"b1","time":"2026-12-07T08:00:02.500Z","reader_path":"/dev/hidraw1","serial":"S1","file_name":"a.bin","duration_ms":2500,"result":"success","exit_code":0}
{"event":"finished","attempt":"a2","batch":"b1","time":"2026-12-07T08:00:03.000Z","reader_path":"/dev/hidraw2","serial":"S2","file_name":"a.bin","duration_ms":2990,"result":"failed","exit_code":1}
{"event":"started","attempt":"a3","batch":null,"time":"2026-12-08T09:00:00.000Z","reader_path":"/dev/hidraw1","serial":"S1","file_name":"\ud83d\ude00fw.bin","duration_ms":5}
{"event":"started","attempt":"a4","batch":null,"time":"2026-12-09T10:00:00.000Z","reader_path":"/dev/hidraw2","serial":"S2","file_name":"b\u001b[1m.bin"}
{"event":"finished","attempt":"a4","batch":null,"time":"2026-12-09T10:00:00.010Z","reader_path":"/dev/hidraw2","serial":"S2","file_name":"b\u001b[1m.bin","duration_ms":10,"result":"nothing-sent","exit_code":0,"ended":"yes","started":"x"}
)";

TEST(HistoryQuery, ShowsAttemptsNewestLastWithFilters) {
  TempDir dir;
  dir.Write("h", kHistory + std::string(100000, '[') + "\n{\"event\":\"sta");
  const CliRun table = History("", dir.File("h"));
  EXPECT_EQ(table.exitCode, 0);
  EXPECT_EQ(
      table.out,
      R"(time                      result                         reader        serial  file          seconds
2026-12-07T08:00:00.000Z  success                        /dev/hidraw1  S1      a.bin            2.50
2026-12-07T08:00:00.010Z  failed                         /dev/hidraw2  S2      a.bin            2.99
2026-12-08T09:00:00.000Z  interrupted (no end recorded)  /dev/hidraw1  S1      )"
      "\xF0\x9F\x98\x80"  // U+1F600, written as a surrogate pair
      R"(fw.bin             -
2026-12-09T10:00:00.000Z  nothing-sent                   /dev/hidraw2  S2      b\x1b[1m.bin     0.01
)");
  EXPECT_EQ(table.err, "vantor: " + dir.File("h") + ": 2 lines skipped (no history record)\n");
  // An attempt with its end and one without, as --json shows them.
  EXPECT_EQ(History("--json --failed", dir.File("h")).out,
            R"([
{"attempt":"a2","batch":"b1","started":"2026-12-07T08:00:00.010Z","finished":"2026-12-07T08:00:03.000Z","ended":true,"result":"failed","reader_path":"/dev/hidraw2","serial":"S2","file_name":"a.bin","duration_ms":2990,"exit_code":1},
{"attempt":"a3","batch":null,"started":"2026-12-08T09:00:00.000Z","finished":null,"ended":false,"result":"interrupted","reader_path":"/dev/hidraw1","serial":"S1","file_name":"\ud83d\ude00fw.bin","duration_ms":null,"records_sent":null,"failed_step":null,"exit_code":null}
]
)");

  // The options reach the query; the usage errors are the command's own.
  // "ARGUMENTS|the attempts --json prints, or the exit code"
  for (const char* c : {"--failed --limit 1|a3", "--serial S1 --since 2026-12-08|a3",
                        "--batch b1|a1 a2", "--since yesterday|2", "--limit -1|2", "--limit 0x10|2",
                        "--limit ' 1'|2", "--since ''|2", "--serial ''|2", "--batch ''|2"}) {
    const std::string args = std::string(c).substr(0, std::strchr(c, '|') - c);
    const CliRun run = History("--json " + args, dir.File("h"));
    std::string ids = run.exitCode ? std::to_string(run.exitCode) : "";
    for (const auto& attempt : nlohmann::json::parse(run.exitCode ? "[]" : run.out)) {
      ids += (ids.empty() ? "" : " ") + attempt["attempt"].get<std::string>();
    }
    EXPECT_EQ(ids, std::strchr(c, '|') + 1) << args;
    EXPECT_LT(run.err.size(), 200u) << run.err;  // no range of 309 digits
  }
  // No history (a usage error), one that is no regular file (refused), one
  // not written yet.
  EXPECT_EQ(History("", "off").exitCode * 10 + History("", dir.path()).exitCode, 21);
  EXPECT_EQ(History("--json", dir.File("none")).out, "[]\n");
}

// The query in process: the attempts each filter passes, paired and in
// the order they were last heard of.
TEST(HistoryQuery, PairsAndFilters) {
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  const std::string text = kHistory + std::string("not a record\n{\"event\":\"sta");
  std::fwrite(text.data(), 1, text.size(), file);
  std::rewind(file);
  const auto ids = [&](const history::Filter& filter) {
    history::Query query(filter);
    std::set<std::string> measured;
    EXPECT_TRUE(query.Measure(
        file, [&](const history::Attempt& attempt) { measured.insert(attempt.Text("attempt")); }));
    EXPECT_EQ(query.passed(), measured.size());
    EXPECT_EQ(query.skipped(), 2u);
    std::string visited;
    query.Visit(file, [&](const history::Attempt& attempt) {
      visited += (visited.empty() ? "" : " ") + attempt.Text("attempt");
    });
    std::rewind(file);
    return visited;
  };
  history::Filter since;  // NormalTime's own cases are below
  since.since = history::NormalTime("2026-12-07T08:00:00.005Z");
  const struct {
    history::Filter filter;
    const char* ids;
  } cases[] = {
      {{}, "a1 a2 a3 a4"},
      {{"", "", "", true, 1}, "a3"},
      {{"", "", "", true, -1}, "a2 a3"},
      {{"", "S1", "", false, -1}, "a1 a3"},
      {{"", "", "b1", false, -1}, "a1 a2"},
      {{"", "", "", false, 2}, "a3 a4"},
      {{"", "", "", false, 0}, ""},
      {{"", "S2", "b1", false, 5}, "a2"},
      {since, "a2 a3 a4"},
  };
  for (const auto& c : cases) EXPECT_EQ(ids(c.filter), c.ids) << c.ids;

  std::fclose(file);
}

TEST(HistoryQuery, NormalTimeTakesOnlyRealUtcTimes) {
  const std::pair<const char*, const char*> cases[] = {
      {"2026-12-08", "2026-12-08T00:00:00.000Z"},
      {"2027-01-01T23:59", "2027-01-01T23:59:00.000Z"},
      {"2026-12-07T08:00:00.005Z", "2026-12-07T08:00:00.005Z"},
      {"2026-12-07 08:00", "2026-12-07T08:00:00.000Z"},
      {"2026-12-07T08:00:09.5", "2026-12-07T08:00:09.500Z"},
      {"2024-02-29", "2024-02-29T00:00:00.000Z"},
      {"2000-02-29", "2000-02-29T00:00:00.000Z"},
      {"1900-02-29", ""},
      {"2026-02-29", ""},
      {"2026-02-31", ""},
      {"2026-13-01", ""},
      {"2026-00-05", ""},
      {"2026-12-07T25:00", ""},
      {"2026-12-07T08:60", ""},
      {"yesterday", ""},
      {"", ""},
  };
  for (const auto& [text, normal] : cases) EXPECT_EQ(history::NormalTime(text), normal) << text;
}

// 100,000 attempts in under 2 s of CPU and 50 MB.
TEST(HistoryQuery, StreamsAHundredThousandAttempts) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  constexpr int kAttempts = 10000, kLimits = false;  // ten times slower
#else
  constexpr int kAttempts = 100000, kLimits = true;
#endif
  const std::string record =
      R"({"schema":1,"event":"%s","attempt":"%032d","batch":null,"time":"2026-12-07T08:00:00.000Z",)"
      R"("host":"line-3","tool_version":"1.0.0.6","reader_path":"/dev/hidraw3","serial":"VT-0001",)"
      R"("usb_path":"1-1.3","file_name":"offline-demo.bin","file_path":"/home/op/offline-demo.bin",)"
      R"("file_size":1234,"sha256":"%064d","kind":"script","header":"000000","lines":8%s})"
      "\n";
  TempDir dir;
  std::FILE* file = std::fopen(dir.File("h").c_str(), "w");
  for (int i = 0; i < kAttempts; ++i) {
    std::fprintf(file, record.c_str(), "started", i, i, "");
    if (i % 1000 == 999) continue;  // no end recorded
    std::fprintf(file, record.c_str(), "finished", i, i,
                 R"(,"duration_ms":2345,"records_sent":8,"result":"success","exit_code":0)");
  }
  std::fclose(file);
  // The command is killed when its CPU time reaches the limit.
  const CliRun run = History("", dir.File("h"), kLimits ? "ulimit -t 2; " : "");
  EXPECT_EQ(run.exitCode, 0) << "more than 2 s of CPU";
  EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), kAttempts + 1);
  rusage usage{};
  ::getrusage(RUSAGE_CHILDREN, &usage);
  EXPECT_TRUE(!kLimits || usage.ru_maxrss < 50 * 1024) << usage.ru_maxrss << " kB, largest child";
}

}  // namespace
}  // namespace vantor::test
