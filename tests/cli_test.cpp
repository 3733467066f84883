// The vantor command line end to end against the emulated reader: exit
// codes, what goes to stdout, and the firmware question without a terminal.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <thread>

#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "emulator/sim_link.h"
#include "test_util.h"

namespace vantor::test {
namespace {

struct CliRun {
  int exitCode;
  std::string out;
};

// Starts vantor with args (stdin from /dev/null, stderr dropped or with stdout).
FILE* StartVantor(const std::string& args, bool withStderr = false) {
  const std::string command = std::string(VANTOR_CLI_PATH) + " " + args + " </dev/null " +
                              (withStderr ? "2>&1" : "2>/dev/null");
  return ::popen(command.c_str(), "r");
}

CliRun Finish(FILE* pipe) {
  CliRun run{-1, ""};
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) run.out.append(buffer, n);
  const int status = ::pclose(pipe);
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

CliRun Vantor(const std::string& args, bool withStderr = false) {
  return Finish(StartVantor(args, withStderr));
}

class Cli : public ::testing::Test {
 protected:
  Cli() {
    dir_.Write("script.bin", "; demo\n00 A4 04 00\nreset\n");
    dir_.Write("bad.bin", "; demo\n00 A4\nGG\n");
    dir_.Write("fw.bin", ";=F1 ProductType=02 ProductNum=05\n0102\n");
    dir_.Write("none.bin", ";=E0\n00\n");
  }
  std::string F(const char* name) const { return dir_.File(name); }

  TempDir dir_;
  ScopedEnv sim_{"VANTOR_READER_SIM", dir_.File("reader.json").c_str()};
  ScopedEnv timeout_{"VANTOR_READ_TIMEOUT_MS", "500"};
};

TEST_F(Cli, ExitCodes) {
  struct Case {
    std::string args;
    int exitCode;
    std::string outStart;
  } cases[] = {
      {"check " + F("script.bin"), 0, "mode: 0 (offline-data script)\n"},
      {"check " + F("bad.bin"), 2, "mode: 0"},
      {"check " + F("missing.bin"), 2, ""},
      {"download " + F("bad.bin"), 2, ""},
      {"download " + F("missing.bin"), 2, ""},
      {"download " + F("fw.bin"), 4, ""},  // no terminal, no --yes: declined
      {"download " + F("none.bin"), 0, "Loading...\n"},
      {"download " + F("script.bin"), 0, "script.bin\n\nDownload SUCCESS!\n"},
      {"info", 0, "Firmware Version: "},
      {"apdu 00A4040000", 0, "9000\n"},
      {"apdu 00A40", 2, ""},
      {"led 300", 2, ""},
      {"beep 1", 0, "ok\n"},
      {"frobnicate", 2, ""},
  };
  for (const auto& c : cases) {
    const CliRun run = Vantor(c.args);
    EXPECT_EQ(run.exitCode, c.exitCode) << c.args;
    EXPECT_EQ(run.out.substr(0, c.outStart.size()), c.outStart) << c.args << "\n" << run.out;
  }
}

TEST_F(Cli, InfoAsJsonAndNoReader) {
  Vantor("download " + F("script.bin"));
  const CliRun run = Vantor("info --json");
  ASSERT_EQ(run.exitCode, 0);
  const auto info = nlohmann::json::parse(run.out);
  EXPECT_EQ(info["outcome"], "success");
  EXPECT_EQ(info["offline_file"], "script.bin");
  EXPECT_TRUE(info["firmware_version"].is_string());

  dir_.Write("reader.json", "{ not json");
  EXPECT_EQ(Vantor("info").exitCode, 3);
  EXPECT_EQ(Vantor("download " + F("script.bin")).exitCode, 3);
  EXPECT_EQ(nlohmann::json::parse(Vantor("info --json").out)["outcome"], "no_reader");
}

TEST_F(Cli, ReaderStepFailureExitsOne) {
  dir_.Write("reader.json",
             R"({"faults":[{"code":125,"nth":2,"action":"status","status":4}]})");
  const CliRun run = Vantor("download " + F("script.bin"));
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.out, "Loading...\n00A40400Loading Error!\n");
}

// A state that cannot be written (here: no file may grow) fails the
// command, naming the file and the reason; a temp file that a killed save
// left behind goes with the next save.
TEST_F(Cli, UnwritableStateFails) {
  dir_.Write("reader.json.tmp12345", "{");
  for (const std::string& args : {std::string("led 3"), "download " + F("script.bin")}) {
    const CliRun run = Finish(::popen(("trap '' XFSZ; ulimit -f 0; exec " +
                                       std::string(VANTOR_CLI_PATH) + " " + args +
                                       " </dev/null 2>&1").c_str(), "r"));
    EXPECT_EQ(run.exitCode, 1) << args;
    EXPECT_NE(run.out.find("state file " + F("reader.json") + ": not written: cannot write " +
                           F("reader.json.tmp")),
              std::string::npos) << run.out;
    EXPECT_NE(run.out.find(": File too large\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("vantor: closing the reader failed"), std::string::npos) << run.out;
  }
  EXPECT_EQ(Vantor("led 3").exitCode, 0);
  EXPECT_FALSE(std::filesystem::exists(F("reader.json.tmp12345")));
  EXPECT_EQ(nlohmann::json::parse(ReadFile(F("reader.json")))["led"], nlohmann::json::parse("[3]"));
}

// A download that a signal stops: the exchange in flight ends, then the
// failure buzzer, the state written, what the reader holds said, exit
// 128 + the signal. A second signal ends the process at once.
TEST_F(Cli, SignalStopsTheDownload) {
  std::string script = "; long\n", image = ";=F1 ProductType=02 ProductNum=05\n";
  for (int i = 0; i < 400; ++i) script += "00 A4 04 00\n", image += "0102030405\n";
  dir_.Write("long.bin", script);
  dir_.Write("long-fw.bin", image);
  struct Case {
    int signal;
    const char* file;
    const char* holds;
    bool twice;
  } cases[] = {
      {SIGINT, "long.bin", "an incomplete script", false},
      {SIGTERM, "long-fw.bin", "an incomplete firmware image; download again before unplugging",
       false},
      {SIGHUP, "long.bin", "an incomplete script", false},
      {SIGTERM, "long.bin", nullptr, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.file) + " " + std::to_string(c.signal));
    // Slow enough for the second signal to come during the clean-up.
    dir_.Write("reader.json", c.twice ? R"({"link_ms_per_report": 100})"
                                      : R"({"link_ms_per_report": 2})");
    dir_.Write("err.txt", "");
    const pid_t pid = ::fork();
    if (pid == 0) {
      const int out = ::open(F("out.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int err = ::open(F("err.txt").c_str(), O_WRONLY | O_APPEND);
      ::dup2(out, 1);
      ::dup2(err, 2);
      ::execl(VANTOR_CLI_PATH, "vantor", "download", "--yes", F(c.file).c_str(), nullptr);
      ::_exit(127);
    }
    ASSERT_GT(pid, 0);
    // Signalled once the download is under way (a few records sent).
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (ReadFile(F("err.txt")).find(c.twice ? "%\n" : "2%\n") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ::kill(pid, c.signal);
    if (c.twice) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      ::kill(pid, c.signal);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    if (c.twice) {
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.signal) << status;
      continue;
    }
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 128 + c.signal);
    const std::string err = ReadFile(F("err.txt"));
    EXPECT_NE(err.find("vantor: download interrupted: the reader now holds " +
                       std::string(c.holds)), std::string::npos) << err;
    const auto state = nlohmann::json::parse(ReadFile(F("reader.json")));
    EXPECT_EQ(state["buzzer"], nlohmann::json::parse("[1]"));
    const auto& log = state["log"];
    // The buzzer came last and was read as a frame of its own: no frame
    // before it was cut short.
    EXPECT_EQ(log.back()["code"], 0x79);
    EXPECT_LT(log.size(), 400u);
  }
}

// A reader that another program holds: named, exit 3, shown by list; of
// programs racing for it, each either runs whole or is turned away.
TEST_F(Cli, ReaderInUse) {
  const std::string state = F("reader.json");
  const int held = sim::OpenLink(state.c_str());
  ASSERT_GT(held, 0);
  const std::string inUse = "vantor: reader " + state + " is in use by another program\n";
  for (const std::string& args : {std::string("led 3"), std::string("info"), "download " + F("script.bin")}) {
    const CliRun run = Vantor(args, true);
    EXPECT_EQ(run.exitCode, 3) << args;
    EXPECT_NE(run.out.find(inUse), std::string::npos) << args << "\n" << run.out;
  }
  EXPECT_NE(Vantor("list").out.find("  in use\n"), std::string::npos);
  bool closed = false;
  ASSERT_TRUE(sim::CloseLink(held, &closed) && closed);
  EXPECT_EQ(Vantor("list").out.find("in use"), std::string::npos);

  std::vector<FILE*> racers;
  for (int i = 0; i < 8; ++i) racers.push_back(StartVantor("led " + std::to_string(i)));
  int done = 0;
  for (FILE* racer : racers) {
    const int code = Finish(racer).exitCode;
    EXPECT_TRUE(code == 0 || code == 3) << code;
    done += code == 0;
  }
  EXPECT_GE(done, 1);
  EXPECT_EQ(nlohmann::json::parse(ReadFile(state))["led"].size(), std::size_t(done));
}

}  // namespace
}  // namespace vantor::test
