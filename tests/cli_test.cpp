// The vantor command line end to end against the emulated reader: exit
// codes, what goes to stdout, and the firmware question without a terminal.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
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
