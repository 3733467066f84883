// The download history: where it goes, appends from several processes and
// threads, a history that cannot be written, the records' fields and byte
// strings, SHA-256, and `vantor history` (filters, unended attempts, lines
// that are no records, bounded memory and time on 100,000 attempts).
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "history/history.h"
#include "test_util.h"

namespace vantor::test {
namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(HistoryPlace, FollowsTheEnvironment) {
  struct Case {
    const char *history, *state, *home;
    bool noHistory, window;
    std::string file;
  } cases[] = {
      {nullptr, "/s", "/h", false, false, "/s/vantortool/history.jsonl"},
      {"", "/s/", "/h", false, false, "/s/vantortool/history.jsonl"},
      {nullptr, "", "/h", false, false, "/h/.local/state/vantortool/history.jsonl"},
      {nullptr, "relative", "/h/", false, false, "/h/.local/state/vantortool/history.jsonl"},
      {"/x/h.jsonl", "/s", "/h", false, false, "/x/h.jsonl"},
      {"/x/h.jsonl", "/s", "/h", true, false, ""},
      {"off", "/s", "/h", false, false, ""},
      {nullptr, "/s", "/h", false, true, ""},
      {"off", "/s", "/h", false, true, ""},
      {"/x/h.jsonl", "/s", "/h", false, true, "/x/h.jsonl"},
  };
  for (const auto& c : cases) {
    ScopedEnv history("VANTOR_HISTORY", c.history), state("XDG_STATE_HOME", c.state),
        home("HOME", c.home);
    const history::Place place = history::Locate(c.noHistory, c.window);
    EXPECT_EQ(place.file, c.file) << (c.history ? c.history : "-") << " " << c.state;
    EXPECT_EQ(place.privateFolders, c.file.find("vantortool") != std::string::npos);
    EXPECT_EQ(place.error, "");
  }
}

// Children and threads append at once, to a file whose last line a crash
// left without its newline: every record arrives whole, on its own line.
TEST(HistoryAppender, KeepsEveryRecordOfSeveralProcessesAndThreads) {
  constexpr int kProcesses = 4, kThreads = 4, kRecords = 100;
  TempDir dir;
  history::Place place;
  place.file = dir.File("new/folder/history.jsonl");
  place.privateFolders = true;
  const auto appendAll = [&](history::Appender& appender, int writer) {
    std::string error;
    bool ok = true;
    for (int i = 0; i < kRecords; ++i) {
      const std::string record = "{\"writer\":" + std::to_string(writer) +
                                 ",\"i\":" + std::to_string(i) + ",\"pad\":\"" +
                                 std::string(5000, 'x') + "\"}";
      ok = appender.Append(record, &error, i % 25 == 0) && ok;
    }
    return ok;
  };
  std::string error;
  history::Appender first;
  ASSERT_TRUE(first.Open(place, &error)) << error;
  struct stat info {};
  ASSERT_EQ(::stat(dir.File("new/folder").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  dir.Write("new/folder/history.jsonl", "{\"torn");
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    if (const pid_t pid = ::fork(); pid == 0) {
      history::Appender appender;
      ::_exit(appender.Open(place, nullptr) && appendAll(appender, p) ? 0 : 1);
    } else {
      children.push_back(pid);
    }
  }
  history::Appender own;  // threads 0 and 1 share `first`, 2 and 3 each open their own
  ASSERT_TRUE(own.Open(place, &error)) << error;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      history::Appender mine;
      history::Appender& appender = t < 2 ? first : (t == 2 ? own : mine);
      if (t == 3) mine.Open(place, nullptr);
      EXPECT_TRUE(appendAll(appender, kProcesses + t));
    });
  }
  for (auto& thread : threads) thread.join();
  for (const pid_t child : children) {
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  const auto lines = Lines(ReadFile(place.file));
  ASSERT_EQ(lines.size(), 1u + (kProcesses + kThreads) * kRecords);
  EXPECT_EQ(lines[0], "{\"torn");
  std::set<std::pair<int, int>> seen;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const auto record = nlohmann::json::parse(lines[i], nullptr, false);
    ASSERT_FALSE(record.is_discarded()) << "line " << i + 1;
    seen.insert({record["writer"].get<int>(), record["i"].get<int>()});
  }
  EXPECT_EQ(seen.size(), lines.size() - 1);
}

// Root writes anywhere: files where folders should be stop it all the same.
TEST(HistoryAppender, NamesTheFileAndTheReasonWhenItCannotWrite) {
  TempDir dir;
  dir.Write("file", "x");
  ::mkdir(dir.File("folder.jsonl").c_str(), 0700);
  const std::pair<std::string, std::string> cases[] = {
      {dir.File("file/history.jsonl"), "Not a directory"},
      {dir.File("file/sub/history.jsonl"), "Not a directory"},
      {dir.File("folder.jsonl"), "Is a directory"},
  };
  for (const auto& [file, reason] : cases) {
    history::Appender appender;
    history::Place place;
    place.file = file;
    std::string error;
    EXPECT_FALSE(appender.Open(place, &error));
    EXPECT_EQ(error, "cannot write the download history " + file + ": " + reason);
    EXPECT_FALSE(appender.Append("{}", &error));
  }
}

TEST(HistoryRecords, CarryTheAgreedFieldsWithBytesThatAreNoUtf8AsRaw) {
  history::Facts facts;
  facts.attempt = history::NewId();
  facts.readerPath = "/dev/hidraw3";
  facts.fileName = "d\xe9mo.bin";
  facts.filePath = "/p/d\xe9mo.bin";
  facts.kind = history::Kind::kFirmware;
  facts.header[0] = 0xF1, facts.header[2] = 0x05;
  history::End end;
  end.failedStep = "00B2010C00Loading Error!";
  const auto started = nlohmann::ordered_json::parse(history::StartedRecord(facts));
  const auto finished = nlohmann::ordered_json::parse(history::FinishedRecord(facts, end));
  std::vector<std::string> keys;
  for (const auto& [key, value] : finished.items()) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<std::string>{
                      "schema",      "event",        "attempt",     "batch",        "time",
                      "host",        "tool_version", "reader_path", "serial",       "usb_path",
                      "file_name",   "file_path",    "file_size",   "sha256",       "kind",
                      "header",      "lines",        "duration_ms", "records_sent", "result",
                      "failed_step", "exit_code",    "raw"}));
  EXPECT_EQ(started.size(), 18u);
  EXPECT_EQ(started["event"], "started");
  EXPECT_EQ(finished["attempt"], started["attempt"]);
  EXPECT_TRUE(std::regex_match(finished["attempt"].get<std::string>(), std::regex("[0-9a-f]{32}")));
  EXPECT_TRUE(std::regex_match(finished["time"].get<std::string>(),
                               std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")));
  EXPECT_EQ(finished["file_name"], "d\u00e9mo.bin");
  EXPECT_EQ(finished["raw"], nlohmann::ordered_json::parse(R"({"file_name": "64e96d6f2e62696e",
                                                       "file_path": "2f702f64e96d6f2e62696e"})"));
  EXPECT_EQ(finished["header"], "F10005");
  EXPECT_EQ(finished["kind"], "firmware");
  EXPECT_TRUE(finished["batch"].is_null());
  EXPECT_EQ(finished["tool_version"], VANTOR_TOOL_VERSION);
  EXPECT_NE(history::NewId(), history::NewId());
}

TEST(HistoryRecords, ByteStringsBecomeValidUtf8) {
  const std::string cases[][2] = {
      {"abc", "abc"},
      {"d\xc3\xa9mo \xf0\x9f\x98\x80", "d\xc3\xa9mo \xf0\x9f\x98\x80"},
      {"\xe9t\xe9", "\xc3\xa9t\xc3\xa9"},
      {"\xc0\xaf", "\xc3\x80\xc2\xaf"},                          // overlong '/'
      {"\xed\xa0\x80", "\xc3\xad\xc2\xa0\xc2\x80"},              // a surrogate
      {"x\xe6\x97", "x\xc3\xa6\xc2\x97"},                        // cut short
      {"\xf4\x90\x80\x80", "\xc3\xb4\xc2\x90\xc2\x80\xc2\x80"},  // above U+10FFFF
  };
  for (const auto& [bytes, text] : cases) {
    bool raw = true;
    EXPECT_EQ(history::JsonString(bytes, &raw), text) << history::Hex(bytes);
    EXPECT_EQ(raw, bytes != text) << history::Hex(bytes);
  }
  EXPECT_EQ(history::Dump(nlohmann::json("\xff")), "\"\xef\xbf\xbd\"");  // no type_error 316
}

TEST(HistoryRecords, Sha256OfTheFileBytes) {
  TempDir dir;
  const std::pair<std::string, std::string> cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& [bytes, sha256] : cases) {
    dir.Write("f", bytes);
    std::string hash, error;
    std::uint64_t size = 1;
    ASSERT_TRUE(history::HashFile(dir.File("f"), &hash, &size, &error)) << error;
    EXPECT_EQ(hash, sha256);
    EXPECT_EQ(size, bytes.size());
  }
  std::string hash, error;
  std::uint64_t size = 0;
  EXPECT_FALSE(history::HashFile(dir.path(), &hash, &size, &error));
  EXPECT_EQ(error, dir.path() + ": Is a directory");
}

struct CliRun {
  int exitCode;
  std::string out, err;
};

// vantor with args and the history file, stdout and stderr apart.
CliRun Vantor(const std::string& args, const std::string& history) {
  TempDir dir;
  const std::string command = "VANTOR_HISTORY='" + history + "' " VANTOR_CLI_PATH " " + args +
                              " >" + dir.File("out") + " 2>" + dir.File("err");
  const int status = std::system(command.c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFile(dir.File("out")),
          ReadFile(dir.File("err"))};
}

// A record with the fields the query reads; end adds those of "finished".
std::string Line(const std::string& event, const std::string& id, const std::string& time,
                 const std::string& readerAndSerial, const std::string& file,
                 const std::string& end = "") {
  const std::string batch = id < "a3" ? R"("0123456789abcdef0123456789abcdef")" : "null";
  return R"({"schema":1,"event":")" + event + R"(","attempt":")" + id + R"(","batch":)" + batch +
         R"(,"time":")" + time + R"(",)" + readerAndSerial + R"(,"file_name":")" + file + "\"" +
         end + "}\n";
}

TEST(HistoryQuery, ShowsAttemptsNewestLastWithFilters) {
  TempDir dir;
  const std::string r1 = R"("reader_path":"/dev/hidraw1","serial":"S1")";
  const std::string r2 = R"("reader_path":"/dev/hidraw2","serial":"S2")";
  dir.Write("h.jsonl",
            Line("started", "a1", "2026-12-07T08:00:00.000Z", r1, "a.bin") +
                Line("started", "a2", "2026-12-07T08:00:00.010Z", r2, "a.bin") +
                Line("finished", "a1", "2026-12-07T08:00:02.500Z", r1, "a.bin",
                     R"(,"duration_ms":2500,"result":"success","exit_code":0)") +
                Line("finished", "a2", "2026-12-07T08:00:03.000Z", r2, "a.bin",
                     R"(,"duration_ms":2990,"result":"failed","exit_code":1)") +
                Line("started", "a3", "2026-12-08T09:00:00.000Z", r1, "fw.bin") +
                std::string(100000, '[') + "\n" +
                Line("started", "a4", "2026-12-09T10:00:00.000Z", r2, "b\\u001b[1m.bin") +
                Line("finished", "a4", "2026-12-09T10:00:00.010Z", r2, "b\\u001b[1m.bin",
                     R"(,"duration_ms":10,"result":"nothing-sent","exit_code":0)") +
                R"({"schema":1,"event":"sta)");
  const CliRun table = Vantor("history", dir.File("h.jsonl"));
  EXPECT_EQ(table.exitCode, 0);
  EXPECT_EQ(table.out,
            "time                      result                         reader        serial  "
            "file       seconds\n"
            "2026-12-07T08:00:00.000Z  success                        /dev/hidraw1  S1      "
            "a.bin         2.50\n"
            "2026-12-07T08:00:00.010Z  failed                         /dev/hidraw2  S2      "
            "a.bin         2.99\n"
            "2026-12-08T09:00:00.000Z  interrupted (no end recorded)  /dev/hidraw1  S1      "
            "fw.bin           -\n"
            "2026-12-09T10:00:00.000Z  nothing-sent                   /dev/hidraw2  S2      "
            "b?[1m.bin     0.01\n");
  EXPECT_EQ(table.err,
            "vantor: " + dir.File("h.jsonl") + ": 2 lines skipped (no history record)\n");

  const std::pair<std::string, std::string> cases[] = {
      {"", "a1 a2 a3 a4"},
      {"--failed", "a2 a3"},
      {"--serial S1", "a1 a3"},
      {"--batch 0123456789abcdef0123456789abcdef", "a1 a2"},
      {"--since 2026-12-08", "a3 a4"},
      {"--since 2026-12-07T08:00:00.005Z", "a2 a3 a4"},
      {"--since '2026-12-07 08:00'", "a1 a2 a3 a4"},
      {"--limit 2", "a3 a4"},
      {"--failed --limit 1", "a3"},
      {"--limit 0", ""},
  };
  for (const auto& [args, attempts] : cases) {
    const CliRun run = Vantor("history --json " + args, dir.File("h.jsonl"));
    const auto json = nlohmann::json::parse(run.out, nullptr, false);
    ASSERT_TRUE(json.is_array()) << args << "\n" << run.out;
    std::string ids;
    for (const auto& attempt : json) ids += (ids.empty() ? "" : " ") + attempt.value("attempt", "");
    EXPECT_EQ(ids, attempts) << args;
    for (const auto& attempt : json) {
      EXPECT_EQ(attempt["ended"], attempt["attempt"] != "a3");
      if (attempt["attempt"] != "a3") continue;
      EXPECT_EQ(attempt["result"], "interrupted");
      EXPECT_TRUE(attempt["exit_code"].is_null());
    }
  }
  for (const char* bad :
       {"--since 2026-13-01", "--since 2026-12-07T25:00", "--since yesterday", "--limit -1"}) {
    EXPECT_EQ(Vantor(std::string("history ") + bad, dir.File("h.jsonl")).exitCode, 2) << bad;
  }
  EXPECT_EQ(Vantor("history", "off").exitCode, 2);
  EXPECT_EQ(Vantor("history", dir.path()).exitCode, 2);
  EXPECT_EQ(Vantor("history --json", dir.File("none.jsonl")).out, "[]\n");
}

// 100,000 attempts (one in a thousand never ended) in under 2 s of CPU
// and 50 MB. Sanitizer builds only count the lines.
TEST(HistoryQuery, StreamsAHundredThousandAttempts) {
  constexpr int kAttempts = 100000;
  TempDir dir;
  history::Facts facts;
  facts.attempt = std::string(32, '0');
  facts.readerPath = "/dev/hidraw3";
  facts.serial = "VT-0001";
  facts.fileName = "offline-demo.bin";
  facts.filePath = "/home/operator/production/offline-demo.bin";
  facts.sha256 = std::string(64, 'a');
  const std::string started = history::StartedRecord(facts) + "\n";
  const std::string finished = history::FinishedRecord(facts, history::End()) + "\n";
  std::FILE* file = std::fopen(dir.File("h.jsonl").c_str(), "w");
  for (int i = 0; i < kAttempts; ++i) {
    char id[40];
    std::snprintf(id, sizeof id, "%032d", i);
    for (const std::string* record : {&started, &finished}) {
      if (record == &finished && i % 1000 == 999) continue;
      std::string line = *record;
      line.replace(line.find(std::string(32, '0')), 32, id);
      std::fputs(line.c_str(), file);
    }
  }
  std::fclose(file);
  const pid_t pid = ::fork();
  if (pid == 0) {
    std::freopen(dir.File("out").c_str(), "w", stdout);
    ::setenv("VANTOR_HISTORY", dir.File("h.jsonl").c_str(), 1);
    ::execl(VANTOR_CLI_PATH, "vantor", "history", nullptr);
    ::_exit(127);
  }
  int status = 0;
  rusage usage{};
  ASSERT_EQ(::wait4(pid, &status, 0, &usage), pid);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(Lines(ReadFile(dir.File("out"))).size(), kAttempts + 1u);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  const double cpu = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
                     (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  EXPECT_LT(cpu, 2.0);
  EXPECT_LT(usage.ru_maxrss, 50 * 1024);  // kB
  std::printf("vantor history: %d attempts, %.2f s CPU, %ld kB\n", kAttempts, cpu, usage.ru_maxrss);
#endif
}

}  // namespace
}  // namespace vantor::test
