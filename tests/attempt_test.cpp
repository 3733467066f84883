// The download attempt and the job against emulated readers, through a
// sink that records what they tell: the events in order, the results, the
// history's records; the window and vantor leave the same records; check
// says ok exactly when the download would load the file.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>
#include <filesystem>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>

#include "app/attempt.h"
#include "cli_run.h"
#include "emulator/sim_link.h"
#include "loader_cases.h"
#include "scripted_host.h"
#include "test_util.h"
#include "ui/VantorToolDlg.h"

namespace vantor::test {
namespace {

using app::DownloadEvent;
using nlohmann::json;
using Events = std::vector<std::string>;

std::string Narrow(const std::wstring& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text.compare(i, 2, L"\r\n") == 0) {
      out += '|';
      ++i;
    } else {
      out += static_cast<char>(text[i]);
    }
  }
  return out;
}

std::string EndText(const app::DownloadEnd& end) {
  static const char* const kOutcomes[] = {"none",       "running",   "success", "nothing-sent",
                                          "failed",     "no-reader", "no-file", "file-error",
                                          "line-error", "declined"};
  std::string text = kOutcomes[static_cast<int>(end.outcome)];
  if (end.stopPoint != app::StopPoint::kNone) text += " stopped";
  text += " sent=" + std::to_string(end.recordsSent);
  if (!end.failedStep.empty()) text += " step=" + Narrow(end.failedStep);
  if (!end.historyError.empty()) text += " history-error";
  return text;
}

// Each event as a line: "r1 sent 2/3 66%", "r0 ended success sent=2", ...
class Recorder : public app::DownloadSink {
 public:
  void On(const DownloadEvent& e) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (hook) hook(e);
    std::string line = "r" + std::to_string(e.reader) + " ";
    switch (e.kind) {
      case DownloadEvent::Kind::kRunStarted: line += "started"; break;
      case DownloadEvent::Kind::kNoReader: line += "no reader"; break;
      case DownloadEvent::Kind::kStatus: line += "status " + Narrow(e.pane); break;
      case DownloadEvent::Kind::kSent:
        line += "sent " + std::to_string(e.count) + "/" + std::to_string(e.total) + " " +
                std::to_string(e.percent) + "%";
        break;
      case DownloadEvent::Kind::kRunEnded: line += "ended " + EndText(e.end); break;
    }
    events.push_back(line);
  }
  std::function<void(const DownloadEvent&)> hook;
  Events events;

 private:
  std::mutex mutex_;
};

class Attempt : public ::testing::Test {
 protected:
  void SetState(const std::string& name, const std::string& state) { dir_.Write(name, state); }
  json State(const std::string& name) const { return json::parse(ReadFile(dir_.File(name))); }
  // The history's records, one "event result failed_step exit_code" each.
  std::vector<std::string> Records(const std::string& name = "h.jsonl") const {
    std::vector<std::string> out;
    if (!std::filesystem::exists(dir_.File(name))) return out;
    std::istringstream lines(ReadFile(dir_.File(name)));
    for (std::string line; std::getline(lines, line);) {
      if (line.empty() || line[0] != '{') continue;
      const json r = json::parse(line);
      out.push_back(r["event"].get<std::string>() +
                    (r["event"] == "finished"
                         ? " " + r["result"].get<std::string>() + " " + r["failed_step"].dump() +
                               " " + r["exit_code"].dump()
                         : ""));
    }
    return out;
  }
  app::DownloadFile Load(const std::string& name, const std::string& content) {
    dir_.Write(name, content);
    app::DownloadFile file;
    const std::string path = dir_.File(name);
    EXPECT_EQ(app::LoadDownloadFile(
                  std::wstring(path.begin(), path.end()), [] { return true; }, &file)
                  .outcome,
              app::Outcome::kNone);
    return file;
  }

  TempDir dir_;
  ScopedEnv sim_{"VANTOR_READER_SIM", dir_.File("r.json").c_str()};
  ScopedEnv timeout_{"VANTOR_READ_TIMEOUT_MS", "300"};
  ScopedEnv codepage_{"VANTOR_CODEPAGE", "CP1252"};
  ScopedEnv history_{"VANTOR_HISTORY", dir_.File("h.jsonl").c_str()};
};

const std::string kFault = R"({"faults":[{"code":125,"nth":2,"action":"status","status":4}]})";

// One reader, each way an attempt ends: the events in order, the reader's
// exit code and the history's records.
TEST_F(Attempt, OneReader) {
  const std::string start = "r0 started", load = "r0 status Loading...|", sent1 = "r0 sent 1/2 50%",
                    sent2 = "r0 sent 2/2 100%", done = "r0 status x.bin||Download SUCCESS!|";
  const std::vector<std::string> both = {"started", "finished success null 0"},
                                 stopped = {"started", "finished interrupted null 143"};
  struct Row {
    std::string what, state;
    int exitCode;  // -1: no reader ran
    Events events;
    std::vector<std::string> records;
  } rows[] = {
      {"success", "{}", 0, {start, load, sent1, sent2, done, "r0 ended success sent=2"}, both},
      {"step fails",
       kFault,
       1,
       {start, load, "r0 status Loading...|00Loading Error!|",
        "r0 ended failed sent=0 step=00Loading Error!"},
       {"started", R"(finished failed "00Loading Error!" 1)"}},
      {"no reader", "not a reader", -1, {start, "r0 no reader", "r0 ended no-reader sent=0"}, {}},
      {"stopped before", "{}", 143, {start, load, "r0 ended failed stopped sent=0"}, stopped},
      {"stopped later", "{}", 143, {start, load, sent1, "r0 ended failed stopped sent=1"}, stopped},
      {"history refused", "{}", -1, {start, "r0 ended failed sent=0 history-error"}, {}},
      {"finished not written",
       "{}",
       0,
       {start, load, sent1, sent2, done, "r0 ended success sent=2 history-error"},
       {"started"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    const int stopAt = row.what == "stopped before" ? 0 : row.what == "stopped later" ? 1 : -1;
    const bool refused = row.what == "history refused";
    const bool finishedFails = row.what == "finished not written";
    std::filesystem::remove(dir_.File("h.jsonl"));
    // A history larger than the reader's state, so that only the history
    // meets the size limit below.
    if (finishedFails) dir_.Write("h.jsonl", std::string(100000, 'x') + "\n");
    SetState("r.json", row.state);
    const app::DownloadFile file = Load("x.bin", "00\n11\n");
    std::atomic<bool> stop{stopAt == 0};
    Recorder recorder;
    rlimit unlimited{};
    ::getrlimit(RLIMIT_FSIZE, &unlimited);
    const auto oldXfsz = std::signal(SIGXFSZ, SIG_IGN);
    recorder.hook = [&](const DownloadEvent& e) {
      if (stopAt == 1 && e.kind == DownloadEvent::Kind::kSent) stop = true;
      // The started record is in: the history takes no more bytes.
      if (finishedFails && e.kind == DownloadEvent::Kind::kStatus && e.pane.size() < 15) {
        rlimit full = unlimited;
        full.rlim_cur = std::filesystem::file_size(dir_.File("h.jsonl"));
        ::setrlimit(RLIMIT_FSIZE, &full);
      }
      if (e.kind == DownloadEvent::Kind::kRunEnded) ::setrlimit(RLIMIT_FSIZE, &unlimited);
    };
    app::AttemptSetup setup;
    setup.place = history::Locate(false, false);
    setup.place.file = dir_.File(refused ? "x.bin/h.jsonl" : "h.jsonl");
    setup.stop = &stop;
    setup.stopSignal = [] { return 15; };
    const app::AttemptResult result = app::RunAttempt(file, std::move(setup), recorder);
    std::signal(SIGXFSZ, oldXfsz);
    EXPECT_EQ(recorder.events, row.events);
    EXPECT_EQ(result.readers.empty() ? -1 : result.readers[0].exitCode, row.exitCode);
    EXPECT_EQ(Records(), row.records);
    EXPECT_EQ(result.noReader, row.state == "not a reader");
    EXPECT_EQ(!result.historyError.empty(), refused);
    EXPECT_EQ(!result.finishedError.empty(), finishedFails);
    // Nothing reaches a reader the history cannot account for.
    if (refused) {
      EXPECT_EQ(State("r.json").count("log"), 0u);
    }
    // Stopped before the erase: the failure buzzer is all the reader hears.
    if (stopAt == 0) {
      EXPECT_EQ(State("r.json")["log"].size(), 1u);
    }
  }
}

// Every attached reader: one held by another program and another name of
// a reader are left out, one that does not open is a failed reader with no
// record, the others run and share the batch.
TEST_F(Attempt, AllReaders) {
  SetState("a.json", "{}");
  SetState("held.json", "{}");
  dir_.Write("bad.json", "{");
  ScopedEnv sim("VANTOR_READER_SIM", (dir_.File("a.json") + ":" + dir_.File("held.json") + ":" +
                                      dir_.File("a.json") + ":" + dir_.File("bad.json"))
                                         .c_str());
  const auto held = sim::OpenLink(dir_.File("held.json").c_str());
  ASSERT_TRUE(held);
  const app::DownloadFile file = Load("x.bin", "00\n");
  Recorder recorder;
  app::AttemptSetup setup;
  setup.choice.all = true;
  setup.place = history::Locate(false, false);
  const app::AttemptResult result = app::RunAttempt(file, std::move(setup), recorder);
  held->Close();

  ASSERT_EQ(result.leftOut.size(), 2u);
  EXPECT_EQ(result.leftOut[0].path, dir_.File("held.json"));
  EXPECT_EQ(result.leftOut[0].duplicateOf, "");
  EXPECT_EQ(result.leftOut[1].duplicateOf, dir_.File("a.json"));
  ASSERT_EQ(result.readers.size(), 2u);
  EXPECT_EQ(result.readers[0].path, dir_.File("a.json"));
  EXPECT_EQ(result.readers[0].exitCode, 0);
  EXPECT_EQ(result.readers[0].batch, result.batch);
  EXPECT_FALSE(result.batch.empty());
  EXPECT_EQ(result.readers[1].end.outcome, app::Outcome::kNoReader);
  EXPECT_EQ(result.readers[1].exitCode, 3);
  EXPECT_EQ(result.readers[1].attempt, "");
  EXPECT_EQ(recorder.events,
            (Events{"r0 started", "r1 no reader", "r1 ended no-reader sent=0",
                    "r0 status Loading...|", "r0 sent 1/1 100%",
                    "r0 status x.bin||Download SUCCESS!|", "r0 ended success sent=1"}));
  EXPECT_EQ(Records(), (std::vector<std::string>{"started", "finished success null 0"}));
  const std::string history = ReadFile(dir_.File("h.jsonl"));
  EXPECT_EQ(json::parse(history.substr(0, history.find('\n')))["batch"], result.batch);
  EXPECT_TRUE(State("held.json").value("offline_records", json::array()).empty());
}

// The job on its own: it opens a reader that is not open and tells no start
// of its own; a failing step ends it with the step's text, and nothing but the
// failure buzzer, if that gets through, reaches the reader after it.
TEST_F(Attempt, Job) {
  const auto fault = [](int code, int nth, const char* action) {
    return json{{"faults", {{{"code", code}, {"nth", nth}, {"action", action}, {"status", 4}}}}}
        .dump();
  };
  const auto failed = [](const std::string& text, int sent) {
    std::string step = text;
    if (step.back() == ' ') step.pop_back();
    return Events{"r2 status Loading...|" + text + "|",
                  "r2 ended failed sent=" + std::to_string(sent) + " step=" + step};
  };
  const struct {
    std::string state, content;
    Events last;     // the events that end the job
    int failedCode;  // the command code of the failing frame, 0: none
    bool buzzerReaches;
  } rows[] = {
      {"{}", ";=E0\n00\n", {"r2 status Loading...|", "r2 ended nothing-sent sent=0"}, 0, false},
      {"not a reader", "00\n", {"r2 no reader", "r2 ended no-reader sent=0"}, 0, false},
      {fault(0x7C, 1, "status"), "00\n", failed("Erase Offline File Flash Error! ", 0), 0x7C, true},
      {fault(0x7D, 1, "status"), "00\n", failed("Loading COMMAND_START Error!", 0), 0x7D, true},
      {fault(0x7D, 4, "status"), ";h\n01\n02\nC-APDU 03 04\n05\n", failed("0304Loading Error!", 2),
       0x7D, true},
      {fault(0x7D, 3, "bad_checksum"), "01\nRESET\n", failed("Loading Error!", 1), 0x7D, true},
      {fault(0x7D, 4, "no_answer"), "01\n02\n", failed("Loading COMMAND_END Error!", 2), 0x7D,
       true},
      {fault(0x7B, 1, "status"), "01\n", failed("Set Offline File Name Error!", 1), 0x7B, true},
      {fault(0x7D, 2, "disconnect"), "01\n", failed("01Loading Error!", 0), 0x7D, false},
      {fault(0x8A, 1, "status"), ";=F1\n0102\n", failed("Erase Vantor File Flash Error! ", 0), 0x8A,
       true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.content);
    SetState("r.json", row.state);
    const app::DownloadFile file = Load("j.bin", row.content);
    app::ReaderSlot slot(dir_.File("r.json"));
    std::wstring status = L"old";
    Recorder recorder;
    app::DownloadJob(file, slot, status, recorder, nullptr, 2).Run();
    ASSERT_GE(recorder.events.size(), 2u);
    // Of a failing step its last two, of the others every event.
    EXPECT_EQ(
        row.failedCode ? Events(recorder.events.end() - 2, recorder.events.end()) : recorder.events,
        row.last);
    EXPECT_EQ(slot.IsOpen(), false);
    if (!row.failedCode) continue;
    const json state = State("r.json");
    std::vector<int> codes;
    for (const auto& entry : state["log"]) codes.push_back(entry["code"]);
    EXPECT_EQ(codes.at(codes.size() - 1 - row.buzzerReaches), row.failedCode);
    EXPECT_EQ(codes.back(), row.buzzerReaches ? 0x79 : row.failedCode);
    EXPECT_EQ(state["buzzer"], json::parse(row.buzzerReaches ? "[1]" : "[]"));
  }
}

// A download in the window and one by vantor, of the same file into the
// same reader, leave the same records but for their ids and times.
TEST_F(Attempt, WindowAndCommandLineRecordTheSame) {
  for (const std::string& state : {std::string("{}"), kFault}) {
    SCOPED_TRACE(state);
    dir_.Write("x.bin", "; demo\n00 A4 04 00\nreset\n");
    SetState("r.json", state);
    {
      ScopedEnv history("VANTOR_HISTORY", dir_.File("window.jsonl").c_str());
      ScriptedHost host;
      CVantorToolDlg dlg(host);
      dlg.OnInitDialog();
      const std::string path = dir_.File("x.bin");
      host.pathField = std::wstring(path.begin(), path.end());
      dlg.OnDownload();
      host.RunWorker();
    }
    SetState("r.json", state);
    ScopedEnv history("VANTOR_HISTORY", dir_.File("cli.jsonl").c_str());
    RunShell(VANTOR_CLI_PATH " download " + dir_.File("x.bin") + " >/dev/null", "/dev/null");
    std::istringstream window(ReadFile(dir_.File("window.jsonl")));
    std::istringstream cli(ReadFile(dir_.File("cli.jsonl")));
    int records = 0;
    for (std::string w, c; std::getline(window, w) && std::getline(cli, c); ++records) {
      const json a = json::parse(w), b = json::parse(c);
      EXPECT_EQ(a.size(), b.size());
      for (const auto& [key, value] : a.items()) {
        if (key == "attempt" || key == "time" || key == "duration_ms") continue;
        EXPECT_EQ(value, b.value(key, json("(absent)"))) << key;
      }
    }
    EXPECT_EQ(records, 2);
    std::filesystem::remove(dir_.File("window.jsonl"));
    std::filesystem::remove(dir_.File("cli.jsonl"));
  }
}

// vantor check says ok exactly when the download would load the file: every
// file the loader's and the command line's tests read, and a name too long.
TEST_F(Attempt, CheckAgreesWithTheDownloadsLoad) {
  std::vector<std::pair<std::string, std::string>> files;  // name, bytes
  for (const auto& [bytes, mode, loaded] : LoaderCases()) {
    files.emplace_back("l" + std::to_string(files.size()) + ".bin", bytes);
  }
  for (const std::string& bytes : std::vector<std::string>{
           "; demo\n00 A4 04 00\nreset\n", "; demo\n00 A4\nGG\n",
           ";=F1 ProductType=02 ProductNum=05\n0102\n", std::string("; h\nG\0X\\\xFF\n", 10),
           ";" + std::string(2000, '0') + "\n00\n", ";=E0\n00\n", "\xEF\xBB\xBF;h\n00\n"}) {
    files.emplace_back("c" + std::to_string(files.size()) + ".bin", bytes);
  }
  files.emplace_back(std::string(196, '+') + ".bin", "00\n");        // 400 bytes in UTF-7
  files.emplace_back(std::string(196, '+') + ".txt", ";=F1\n00\n");  // an image's name is not sent
  for (const char* codepage : {"CP1252", "UTF-7"}) {
    ScopedEnv cp("VANTOR_CODEPAGE", codepage);
    for (const auto& [name, bytes] : files) {
      dir_.Write(name, bytes);
      const std::string path = dir_.File(name);
      app::DownloadFile file;
      const bool loads = app::LoadDownloadFile(
                             std::wstring(path.begin(), path.end()), [] { return true; }, &file)
                             .outcome == app::Outcome::kNone;
      const CliRun check = RunShell(VANTOR_CLI_PATH " check '" + path + "'", "/dev/null");
      EXPECT_EQ(check.exitCode == 0, loads) << codepage << " " << name.substr(0, 20) << check.out;
      EXPECT_EQ(check.exitCode, loads ? 0 : 2);
    }
  }
}

}  // namespace
}  // namespace vantor::test
