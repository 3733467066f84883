// The command line with several emulated readers: the listing, choosing a
// reader, and downloading into all of them at once.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "test_util.h"

namespace vantor::test {
namespace {

using nlohmann::json;

struct CliRun {
  int exitCode = -1;
  std::string out;
  std::string err;
};

// Runs vantor with args in the background; Finish collects it.
class Started {
 public:
  Started(const std::string& args, const std::string& errFile) : errFile_(errFile) {
    const std::string command =
        std::string(VANTOR_CLI_PATH) + " " + args + " </dev/null 2>" + errFile;
    pipe_ = ::popen(command.c_str(), "r");
  }
  CliRun Finish() {
    CliRun run;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe_)) > 0) run.out.append(buffer, n);
    const int status = ::pclose(pipe_);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.err = ReadFile(errFile_);
    return run;
  }

 private:
  std::string errFile_;
  FILE* pipe_;
};

class Production : public ::testing::Test {
 protected:
  // Readers r3, r1, r2, r4 in that order; r1 answers the second record
  // write with status 4 when faulty is set.
  void MakeReaders(const std::string& extra = "", bool faulty = false) {
    std::string list;
    for (const char* name : {"r3", "r1", "r2", "r4"}) {
      const std::string file = std::string(name) + ".json";
      const bool fault = faulty && std::string(name) == "r1";
      dir_.Write(file,
                 "{" + extra +
                     (fault ? R"("faults":[{"code":125,"nth":2,"action":"status","status":4}])"
                            : R"("led":[])") +
                     "}");
      readers_.push_back(dir_.File(file));
      list += (list.empty() ? "" : ":") + readers_.back();
    }
    sim_.emplace("VANTOR_READER_SIM", list.c_str());
  }
  CliRun Vantor(const std::string& args) { return Started(args, dir_.File("err.txt")).Finish(); }
  json State(const std::string& path) const { return json::parse(ReadFile(path)); }

  TempDir dir_;
  std::vector<std::string> readers_;
  std::optional<ScopedEnv> sim_;
  ScopedEnv timeout_{"VANTOR_READ_TIMEOUT_MS", "2000"};
  ScopedEnv noSelection_{"VANTOR_READER", nullptr};
};

// The script's records as the reader stores them.
const json kScript = json::parse(R"([{"type":2,"data":""},{"type":17,"data":"00A40400"},
  {"type":16,"data":""},{"type":3,"data":""}])");

TEST_F(Production, ListAndChoosingAReader) {
  MakeReaders();
  const CliRun list = Vantor("list --json");
  ASSERT_EQ(list.exitCode, 0) << list.err;
  const json listed = json::parse(list.out);
  ASSERT_EQ(listed.size(), 4u);
  for (std::size_t i = 0; i < readers_.size(); ++i) {
    EXPECT_EQ(listed[i]["path"], readers_[i]);
    EXPECT_EQ(listed[i]["vendor"], 0x0755);
    EXPECT_EQ(listed[i]["product"], 0x0001);
    EXPECT_EQ(listed[i]["version"], 0x0205);
    EXPECT_EQ(listed[i]["status"], "ok");
  }
  EXPECT_EQ(Vantor("list").out.substr(0, readers_[0].size() + 21),
            readers_[0] + "  0755:0001 v0205  ok");

  // Which reader each way of choosing one reaches: the LED value lands there.
  struct Case {
    std::string how;
    const char* env;
    int exitCode;
    int reader;  // index into readers_, -1: none
  } cases[] = {
      {"", nullptr, 0, 0},  // the first in search order
      {"--reader " + readers_[2], nullptr, 0, 2},
      {"", readers_[3].c_str(), 0, 3},
      {"--reader " + readers_[1], readers_[3].c_str(), 0, 1},  // the option wins
      {"--reader " + dir_.File("r9.json"), nullptr, 3, -1},
  };
  int value = 10;
  for (const auto& c : cases) {
    ScopedEnv env("VANTOR_READER", c.env);
    ++value;
    const CliRun run = Vantor(c.how + " led " + std::to_string(value));
    EXPECT_EQ(run.exitCode, c.exitCode) << c.how << "\n" << run.err;
    for (std::size_t i = 0; i < readers_.size(); ++i) {
      const json led = State(readers_[i])["led"];
      EXPECT_EQ(!led.empty() && led.back() == value, static_cast<int>(i) == c.reader)
          << c.how << " reader " << i;
    }
    if (c.reader < 0) {
      EXPECT_NE(run.err.find("r9.json"), std::string::npos) << run.err;
    }
  }
  // The option after the command too, and for the window's commands.
  const CliRun info = Vantor("info --json --reader " + readers_[2]);
  EXPECT_EQ(info.exitCode, 0);
  EXPECT_EQ(json::parse(info.out)["outcome"], "success");
}

TEST_F(Production, DownloadAllWithOneFaultyReader) {
  MakeReaders("", true);
  dir_.Write("script.bin", "; demo\n00 A4 04 00\nreset\n");
  const CliRun run = Vantor("download " + dir_.File("script.bin") + " --all --json");
  EXPECT_EQ(run.exitCode, 1) << run.err;
  const json summary = json::parse(run.out);
  EXPECT_EQ(summary["total"], 4);
  EXPECT_EQ(summary["succeeded"], 3);
  EXPECT_EQ(summary["failed"], 1);
  ASSERT_EQ(summary["readers"].size(), 4u);
  for (std::size_t i = 0; i < readers_.size(); ++i) {
    const json& entry = summary["readers"][i];
    const bool faulty = i == 1;
    EXPECT_EQ(entry["path"], readers_[i]);
    EXPECT_EQ(entry["ok"], !faulty);
    EXPECT_EQ(entry["message"], faulty ? "00A40400Loading Error!" : "Download SUCCESS!");
    EXPECT_GE(entry["seconds"].get<double>(), 0.0);
    const json state = State(readers_[i]);
    if (!faulty) {
      EXPECT_EQ(state["offline_records"], kScript) << readers_[i];
      EXPECT_EQ(state["buzzer"], json::parse("[0]"));
    } else {
      EXPECT_EQ(state["buzzer"], json::parse("[1]")) << "the failure buzzer";
    }
    // Without a terminal: progress lines start with the reader's path.
    EXPECT_NE(run.err.find(readers_[i] + (faulty ? "  00A40400Loading Error!" : "  100%")),
              std::string::npos)
        << run.err;
  }

  // The table names every reader too.
  const CliRun table = Vantor("download " + dir_.File("script.bin") + " --all");
  EXPECT_EQ(table.exitCode, 1);
  for (const auto& reader : readers_) EXPECT_NE(table.out.find(reader), std::string::npos);
  EXPECT_NE(table.out.find("3 of 4 readers succeeded, 1 failed"), std::string::npos) << table.out;
}

TEST_F(Production, DownloadAllEndsBeforeAnyReaderOnAFileProblem) {
  MakeReaders();
  dir_.Write("bad.bin", "; demo\n00 A4\nGG\n");
  dir_.Write("fw.bin", ";=F1 ProductType=02 ProductNum=05\n0102\n");
  struct Case {
    std::string args;
    int exitCode;
  } cases[] = {
      {"download " + dir_.File("bad.bin") + " --all", 2},
      {"download " + dir_.File("missing.bin") + " --all", 2},
      {"download " + dir_.File("fw.bin") + " --all", 4},  // not confirmed
  };
  for (const auto& c : cases) EXPECT_EQ(Vantor(c.args).exitCode, c.exitCode) << c.args;
  for (const auto& reader : readers_) {
    EXPECT_EQ(State(reader).count("log"), 0u) << "touched: " << reader;
  }

  // Confirmed once, the image reaches every reader.
  const CliRun yes = Vantor("download " + dir_.File("fw.bin") + " --all --yes --json");
  EXPECT_EQ(yes.exitCode, 0) << yes.err;
  for (const auto& reader : readers_) {
    EXPECT_EQ(State(reader)["firmware"]["blocks"], json::parse(R"(["0102"])")) << reader;
  }
}

TEST_F(Production, NoReaderFound) {
  ScopedEnv sim("VANTOR_READER_SIM", ":");
  dir_.Write("script.bin", "; demo\n00 A4 04 00\n");
  for (const std::string& args : {std::string("list"), std::string("info --all"),
                                  "download " + dir_.File("script.bin") + " --all"}) {
    EXPECT_EQ(Vantor(args).exitCode, 3) << args;
  }
}

// Two batches started together share the readers out: each reader gets the
// script once, from one run, and each run reports only what it programmed.
TEST_F(Production, TwoRunsAtOnce) {
  MakeReaders(R"("link_ms_per_report":1,)");
  std::string script = "; demo\n";
  for (int i = 0; i < 100; ++i) script += "00 A4 04 00\n";
  dir_.Write("script.bin", script);
  const std::string args = "download " + dir_.File("script.bin") + " --all --json";
  Started first(args, dir_.File("err1.txt"));
  Started second(args, dir_.File("err2.txt"));
  const CliRun runs[] = {first.Finish(), second.Finish()};

  std::set<std::string> programmed;
  for (const auto& run : runs) {
    ASSERT_TRUE(run.exitCode == 0 || run.exitCode == 3) << run.exitCode << run.err;
    const json summary = json::parse(run.out);
    for (const auto& entry : summary["readers"]) {
      EXPECT_TRUE(entry["ok"].get<bool>()) << entry.dump();
      EXPECT_TRUE(programmed.insert(entry["path"]).second) << "reported twice: " << entry.dump();
    }
  }
  EXPECT_EQ(programmed.size(), readers_.size());
  for (const auto& reader : readers_) {
    const json state = State(reader);
    ASSERT_EQ(state["offline_records"].size(), 102u) << reader;
    int erases = 0;
    for (const auto& frame : state["log"]) erases += frame["code"] == 0x7C ? 1 : 0;
    EXPECT_EQ(erases, 1) << "written by both runs: " << reader;
  }
}

}  // namespace
}  // namespace vantor::test
