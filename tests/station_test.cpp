// The station against emulated readers and a scripted watch: each row
// plugs readers in and out as the station's events come (a reader joining
// while another downloads, one pulled out mid-download, replugs, held
// readers, a flapping source, the count, the two stops, a watch or a
// history that fails), and holds each reader's events, the summary and
// the history's records to what they must be.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <filesystem>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "app/station.h"
#include "emulator/sim_link.h"
#include "history/record.h"
#include "test_util.h"

namespace vantor::test {
namespace {

using app::StationEvent;
using Clock = std::chrono::steady_clock;

// One step of a row's script: once a line starting with `after` has been
// told (its n-th one with "line#n"; "" at once), the actions are taken:
// "+a" / "-a" plug reader a in or out, "flap" plugs a out and in 5000
// times, "stop1" / "stop2" the two stops, "fail" ends the watch, "free"
// lets go of the held reader, "heal" gives a a clean state, "pause" holds
// the next step back for 300 ms.
struct Step {
  std::string after, actions;
};

std::string Name(const std::string& path) { return std::filesystem::path(path).stem().string(); }

// The events as lines, the script driven by them and by the station's waits,
// and the watch that hands out what the script plugged.
class Stage : public app::StationSink, public ReaderWatch {
 public:
  Stage(const TempDir& dir, std::vector<Step> script, std::unique_ptr<sim::HostLink>* held)
      : dir_(dir), script_(std::move(script)), held_(held) {}

  void On(const StationEvent& e) override {
    static const char* const kKinds[] = {"attached", "started",  "finished", "skipped",
                                         "busy",     "detached", "summary"};
    std::string line = kKinds[static_cast<int>(e.kind)];
    if (e.kind != StationEvent::Kind::kSummary) line += " " + Name(e.reader.path);
    if (e.kind == StationEvent::Kind::kFinished) {
      line += e.reader.Stopped() ? " stopped" : e.reader.Ok() ? " ok" : " failed";
      batches.push_back(e.reader.batch);
    }
    if (e.kind == StationEvent::Kind::kSkipped) line += " " + e.done.attempt;
    {
      std::lock_guard<std::mutex> lock(linesMutex_);
      lines.push_back(line);
    }
    Poll();
  }

  bool Wait(int timeoutMs, std::vector<PlugEvent>* events, std::string* error) override {
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    do {
      Poll();
      std::lock_guard<std::mutex> lock(mutex_);
      if (failed_) {
        *error = "the folder is gone";
        return false;
      }
      if (!plugs_.empty()) {
        const std::size_t n = std::min<std::size_t>(plugs_.size(), 100);
        events->assign(plugs_.begin(), plugs_.begin() + n);
        plugs_.erase(plugs_.begin(), plugs_.begin() + n);
        return true;
      }
      if (Clock::now() > started_ + std::chrono::seconds(20)) stop1 = stop2 = true;  // stuck
    } while (Clock::now() < end &&
             (std::this_thread::sleep_for(std::chrono::milliseconds(2)), true));
    return true;
  }

  // The reader's events without its name, "attached, started, finished ok";
  // with plugs false, without its attached and detached.
  std::string Of(const std::string& reader, bool plugs) {
    std::lock_guard<std::mutex> lock(linesMutex_);
    std::string out;
    for (const auto& line : lines) {
      std::istringstream words(line);
      std::string kind, name, rest;
      words >> kind >> name;
      std::getline(words, rest);
      if (name == reader && (plugs || (kind != "attached" && kind != "detached"))) {
        out += (out.empty() ? "" : ", ") + kind + rest;
      }
    }
    return out;
  }

  std::atomic<bool> stop1{false}, stop2{false};
  std::vector<std::string> lines;
  std::vector<std::string> batches;

 private:
  bool Seen(std::string after) {
    if (after.empty()) return true;
    std::size_t n = 1;
    if (const std::size_t hash = after.find('#'); hash != std::string::npos) {
      n = std::stoul(after.substr(hash + 1));
      after.resize(hash);
    }
    std::lock_guard<std::mutex> lock(linesMutex_);
    return static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), [&](auto& line) {
             return line.compare(0, after.size(), after) == 0;
           })) >= n;
  }

  void Poll() {
    std::lock_guard<std::mutex> lock(mutex_);
    while (next_ < script_.size() && Clock::now() >= pausedUntil_ && Seen(script_[next_].after)) {
      std::istringstream actions(script_[next_++].actions);
      for (std::string action; actions >> action;) Take(action);
    }
  }

  void Take(const std::string& action) {
    const auto plug = [&](PlugEvent::Kind kind, const std::string& name) {
      plugs_.push_back({kind, dir_.File(name + ".json")});
    };
    if (action[0] == '+') plug(PlugEvent::Kind::kAttached, action.substr(1));
    if (action[0] == '-') plug(PlugEvent::Kind::kDetached, action.substr(1));
    if (action == "flap") {
      for (int i = 0; i < 5000; ++i) {
        plug(PlugEvent::Kind::kDetached, "a");
        plug(PlugEvent::Kind::kAttached, "a");
      }
    }
    if (action == "stop1") stop1 = true;
    if (action == "stop2") stop2 = true;
    if (action == "fail") failed_ = true;
    if (action == "free") (*held_)->Close();
    if (action == "heal") dir_.Write("a.json", "{}");
    if (action == "pause") pausedUntil_ = Clock::now() + std::chrono::milliseconds(300);
  }

  const TempDir& dir_;
  std::vector<Step> script_;
  std::unique_ptr<sim::HostLink>* held_;
  std::mutex mutex_, linesMutex_;
  std::size_t next_ = 0;
  std::deque<PlugEvent> plugs_;
  bool failed_ = false;
  const Clock::time_point started_ = Clock::now();
  Clock::time_point pausedUntil_;
};

TEST(Station, ServesReadersAsTheyComeAndGo) {
  const std::string slow = R"({"link_ms_per_report": 15})";
  const std::string pulled =
      R"({"link_ms_per_report": 15, "faults": [{"code": 125, "nth": 4, "action": "disconnect"}]})";
  const std::string fails =
      R"({"faults": [{"code": 124, "nth": 1, "action": "status", "status": 4}]})";
  const std::string ran = "attached, started, finished ok";
  struct Row {
    std::string what;
    std::map<std::string, std::string> states;  // reader: its state file
    std::vector<Step> script;
    long count;
    std::map<std::string, std::string> expected;  // reader: Stage::Of, "~" first: no plugs
    std::string summary;
  } rows[] = {
      {"readers plugged in while another downloads",
       {{"a", slow}, {"b", "{}"}, {"c", "{}"}},
       {{"", "+a"}, {"started a", "+b +c"}, {"finished a", "stop1"}},
       0,
       {{"a", ran}, {"b", ran}, {"c", ran}},
       "3 ok 0 failed 0 skipped"},
      {"pulled out mid-download, plugged in again",
       {{"a", pulled}},
       {{"", "+a"}, {"started a", "-a"}, {"finished a", "heal +a"}, {"finished a#2", "stop1"}},
       0,
       {{"a", "attached, started, detached, finished failed, attached, started, finished ok"}},
       "1 ok 1 failed 0 skipped"},
      {"attached again while attached: one attempt",
       {{"a", slow}},
       {{"", "+a +a"}, {"started a", "+a"}, {"finished a", "+a +a"}, {"", "pause"}, {"", "stop1"}},
       0,
       {{"a", ran}},
       "1 ok 0 failed 0 skipped"},
      {"held by another program: told once, served when free",
       {{"a", "{}"}, {"held", "{}"}},
       {{"", "+a +held"}, {"busy held", "pause"}, {"", "free"}, {"finished held", "stop1"}},
       0,
       {{"a", ran}, {"held", "attached, busy, started, finished ok"}},
       "2 ok 0 failed 0 skipped"},
      {"the count: no attempt beyond what can reach it",
       {{"a", "{}"}, {"b", "{}"}},
       {{"", "+a +b"}},
       1,
       {{"a", ran}, {"b", "attached"}},
       "1 ok 0 failed 0 skipped"},
      {"the count: a failure lets the next one start",
       {{"a", fails}, {"b", "{}"}, {"c", "{}"}},
       {{"", "+a +b +c"}},
       2,
       {{"a", "attached, started, finished failed"}, {"b", ran}, {"c", ran}},
       "2 ok 1 failed 0 skipped"},
      {"skip-done: a serial that holds the file already",
       {{"a", R"({"serial": "S1"})"}, {"b", R"({"serial": "S2"})"}, {"c", "{}"}},
       {{"", "+a +b +c"}, {"finished b", ""}, {"finished c", "stop1"}},
       0,
       {{"a", "attached, skipped feedc0de"}, {"b", ran}, {"c", ran}},
       "2 ok 0 failed 1 skipped"},
      {"first stop: the running download finishes, no new one starts",
       {{"a", slow}, {"b", "{}"}},
       {{"", "+a"}, {"started a", "stop1 +b"}},
       0,
       {{"a", ran}},
       "1 ok 0 failed 0 skipped"},
      {"second stop: the running download is interrupted",
       {{"a", slow}},
       {{"", "+a"}, {"started a", "stop1 stop2"}},
       0,
       {{"a", "attached, started, finished stopped"}},
       "0 ok 1 failed 0 skipped stopped 143"},
      {"a flapping source: one attempt more, never two at once",
       {{"a", R"({"link_ms_per_report": 40})"}},
       {{"", "+a"}, {"started a", "flap"}, {"finished a#2", "stop1"}},
       0,
       {{"a", "~started, finished ok, started, finished ok"}},
       "2 ok 0 failed 0 skipped"},
      {"the watch fails: the running download finishes",
       {{"a", slow}},
       {{"", "+a"}, {"started a", "fail"}},
       0,
       {{"a", ran}},
       "1 ok 0 failed 0 skipped watch: the folder is gone"},
      {"a history that cannot record: no reader is touched",
       {{"a", "{}"}},
       {{"", "+a"}},
       0,
       {{"a", ""}},
       "0 ok 0 failed 0 skipped history refused"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    TempDir dir;
    std::string sim;
    for (const auto& [name, state] : row.states) {
      dir.Write(name + ".json", state);
      sim += (sim.empty() ? "" : ":") + dir.File(name + ".json");
    }
    ScopedEnv simEnv("VANTOR_READER_SIM", sim.c_str());
    ScopedEnv timeout("VANTOR_READ_TIMEOUT_MS", "2000");
    dir.Write("x.bin", "00\n11\n22\n33\n44\n55\n");
    app::DownloadFile file;
    const std::string filePath = dir.File("x.bin");
    ASSERT_EQ(app::LoadDownloadFile(
                  std::wstring(filePath.begin(), filePath.end()), [] { return true; }, &file)
                  .outcome,
              app::Outcome::kNone);
    const bool refused = row.what.find("cannot record") != std::string::npos;
    const bool skipDone = row.what.find("skip-done") != std::string::npos;
    if (skipDone) {
      // S1 has the file from an earlier attempt, S2 another file; a reader
      // without a serial number had it too, which tells nothing of c.
      std::string records;
      for (const auto& [id, serial, sha256] : {std::tuple{"feedc0de", "S1", file.sha256},
                                               {"0ther", "S2", std::string(64, '0')},
                                               {"0ther", "", file.sha256}}) {
        history::Facts facts;
        facts.attempt = id;
        facts.serial = serial;
        facts.sha256 = sha256;
        history::End end;
        end.result = history::Result::kSuccess;
        records += history::FinishedRecord(facts, end) + "\n";
      }
      dir.Write("h.jsonl", records);
    }
    std::unique_ptr<sim::HostLink> held;
    if (row.states.count("held")) held = sim::OpenLink(dir.File("held.json").c_str());
    Stage stage(dir, row.script, &held);
    app::StationSetup setup;
    setup.place.file = dir.File(refused ? "x.bin/h.jsonl" : "h.jsonl");
    setup.count = row.count;
    setup.skipDone = skipDone;
    setup.stopWatching = &stage.stop1;
    setup.stopDownloads = &stage.stop2;
    setup.stopSignal = [] { return 15; };
    setup.busyRetry = std::chrono::milliseconds(50);
    const app::StationResult result = app::Station(file, setup, stage, stage).Run();

    std::string summary = std::to_string(result.succeeded) + " ok " +
                          std::to_string(result.failed) + " failed " +
                          std::to_string(result.skipped) + " skipped";
    if (result.stopped) summary += " stopped " + std::to_string(result.stopExitCode);
    if (!result.watchError.empty()) summary += " watch: " + result.watchError;
    if (!result.historyError.empty()) summary += " history refused";
    EXPECT_EQ(summary, row.summary);
    EXPECT_EQ(stage.lines.back(), "summary");
    for (const auto& [name, events] : row.expected) {
      const bool plugs = events.rfind('~', 0) != 0;
      EXPECT_EQ((plugs ? "" : "~") + stage.Of(name, plugs), events) << name;
    }
    if (row.what.find("while another") != std::string::npos) {
      const auto at = [&](const char* line) {
        return std::find(stage.lines.begin(), stage.lines.end(), line) - stage.lines.begin();
      };
      EXPECT_LT(at("finished b ok"), at("finished a ok"));
    }
    // Every attempt in the history, started and finished, in the station's batch.
    std::size_t started = 0, finished = 0;
    std::istringstream history(refused ? "" : ReadFile(dir.File("h.jsonl")));
    for (std::string line; std::getline(history, line);) {
      const auto record = nlohmann::json::parse(line);
      if (record["attempt"] == "feedc0de" || record["attempt"] == "0ther") continue;
      EXPECT_EQ(record["batch"], result.batch);
      ++(record["event"] == "started" ? started : finished);
    }
    EXPECT_EQ(started, stage.batches.size());
    EXPECT_EQ(finished, stage.batches.size());
    for (const auto& batch : stage.batches) EXPECT_EQ(batch, result.batch);
    if (refused) {
      EXPECT_EQ(ReadFile(dir.File("a.json")), "{}");
    }
  }
}

}  // namespace
}  // namespace vantor::test
