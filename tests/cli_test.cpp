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
  std::string err;
};

// Starts vantor with args (stdin from /dev/null, stderr dropped or with stdout).
FILE* StartVantor(const std::string& args, bool withStderr = false) {
  const std::string command = std::string(VANTOR_CLI_PATH) + " " + args + " </dev/null " +
                              (withStderr ? "2>&1" : "2>/dev/null");
  return ::popen(command.c_str(), "r");
}

std::string Slurp(FILE* f) {
  std::string text;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
  return text;
}

CliRun Finish(FILE* pipe) {
  CliRun run{-1, Slurp(pipe), ""};
  const int status = ::pclose(pipe);
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

// Runs vantor with args (stdin from /dev/null), prefixed by env when given.
CliRun Vantor(const std::string& args, const std::string& env = "") {
  FILE* err = std::tmpfile();
  const std::string command = env + " " + std::string(VANTOR_CLI_PATH) + " " + args +
                              " </dev/null 2>/dev/fd/" + std::to_string(fileno(err));
  CliRun run = Finish(::popen(command.c_str(), "r"));
  std::rewind(err);
  run.err = Slurp(err);
  std::fclose(err);
  return run;
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

TEST_F(Cli, ExitCodesAndTexts) {
  struct Case {
    std::string args;
    int exitCode;
    std::string outStart;  // stdout begins with this
    std::string inErr;     // stderr holds this
    std::string env = "";
  } cases[] = {
      {"check " + F("script.bin"), 0, "mode: 0 (offline-data script)\n", ""},
      {"check " + F("bad.bin"), 2, "mode: 0", ""},
      {"check " + F("missing.bin"), 2, "",
       "Open File Error!\nvantor: " + F("missing.bin") + ": No such file or directory\n"},
      {"check " + dir_.path(), 2, "", dir_.path() + ": Is a directory\n"},
      {"download " + F("bad.bin"), 2, "", "File 2 Line Error,Please Check!\nline 3: GG\n"},
      {"download " + F("missing.bin"), 2, "",
       "Open File Error!\nvantor: " + F("missing.bin") + ": No such file or directory\n"},
      {"download " + F("fw.bin"), 4, "", "please confirm!"},  // no terminal, no --yes: declined
      {"download " + F("none.bin"), 0, "Loading...\n", ""},
      {"download " + F("script.bin"), 0, "script.bin\n\nDownload SUCCESS!\n", ""},
      {"info", 0, "Firmware Version: ", ""},
      {"apdu 00A4040000", 0, "9000\n", ""},
      {"apdu 00A40", 2, "", "hex"},
      {"led 300", 2, "", "300"},
      {"beep 1", 0, "ok\n", ""},
      {"frobnicate", 2, "", "unknown command 'frobnicate'"},
      {"--version", 0, "vantor " VANTOR_TOOL_VERSION "\n", ""},
      {"reset --slot 256", 2, "", "256"},
      {"powerdown --slot -1", 2, "", "-1"},
      {"apdu 00A4040000 --slot 255", 0, "", ""},
      {"led 1", 2, "", "VANTOR_READ_TIMEOUT_MS=abc is not", "VANTOR_READ_TIMEOUT_MS=abc"},
      {"led 1", 2, "", "VANTOR_READ_TIMEOUT_MS=0 ", "VANTOR_READ_TIMEOUT_MS=0"},
      {"led 1", 2, "", "=-1 ", "VANTOR_READ_TIMEOUT_MS=-1"},
      {"led 1", 2, "", "=999999999999 ", "VANTOR_READ_TIMEOUT_MS=999999999999"},
      {"led 1", 2, "", "=3600001 ", "VANTOR_READ_TIMEOUT_MS=3600001"},
      {"led 1", 0, "ok\n", "", "VANTOR_READ_TIMEOUT_MS=3600000"},
      {"led 1", 0, "ok\n", "", "VANTOR_READ_TIMEOUT_MS="},
      {"check " + F("script.bin"), 2, "", "VANTOR_CODEPAGE=FOO", "VANTOR_CODEPAGE=FOO"},
  };
  for (const auto& c : cases) {
    const CliRun run = Vantor(c.args, c.env);
    const std::string what = c.env + " " + c.args + "\n" + run.out + run.err;
    EXPECT_EQ(run.exitCode, c.exitCode) << what;
    EXPECT_EQ(run.out.substr(0, c.outStart.size()), c.outStart) << what;
    EXPECT_NE(run.err.find(c.inErr), std::string::npos) << what;
  }
}

TEST_F(Cli, BadLinesAreEchoedShortAndEscaped) {
  struct Case {
    std::string bytes;
    std::string echo;
  } cases[] = {
      {"; h\n00 \x1b[31m\n", "line 2: 00 \\x1b[31m\n"},
      {std::string("; h\nG\0X\\\xE9\n", 10), "line 2: G\\x00X\\\\\\xe9\n"},
      {"; h\n" + std::string(200, 'Z') + "\n", "line 2: " + std::string(80, 'Z') + "...\n"},
      {"; h\n" + std::string(3000, 'Z'), "line 2: " + std::string(80, 'Z') + "...\n"},
      {";" + std::string(2000, '0') + "\n00\n", "line 1: ;" + std::string(79, '0') + "...\n"},
  };
  for (const auto& c : cases) {
    dir_.Write("echo.bin", c.bytes);
    const CliRun check = Vantor("check " + F("echo.bin"));
    EXPECT_EQ(check.exitCode, 2);
    const std::size_t at = check.out.find("line ");
    ASSERT_NE(at, std::string::npos) << check.out;
    EXPECT_EQ(check.out.substr(at), c.echo);
    const CliRun download = Vantor("download " + F("echo.bin"));
    EXPECT_EQ(download.exitCode, 2);
    EXPECT_NE(download.err.find(c.echo), std::string::npos) << download.err;
  }
}

// A path is bytes: one that is not valid in the locale still reaches the
// OS as it is, and the name stored is converted as the window shows it.
TEST_F(Cli, PathIsPassedByteForByte) {
  dir_.Write("caf\xE9.bin", "; demo\n00 A4 04 00\n");
  const std::string utf8 = "LC_ALL=C.UTF-8";
  EXPECT_EQ(Vantor("check " + F("caf\xE9.bin"), utf8).exitCode, 0);
  const CliRun run = Vantor("download " + F("caf\xE9.bin"), utf8);
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out, "caf\u00e9.bin\n\nDownload SUCCESS!\n");
  EXPECT_EQ(nlohmann::json::parse(Vantor("info --json", utf8).out)["offline_file"],
            "caf\u00e9.bin");
}

TEST_F(Cli, EndlessInputEndsWithALineError) {
  for (const char* command : {"check", "download"}) {
    const CliRun run = Vantor(std::string(command) + " /dev/zero");
    EXPECT_EQ(run.exitCode, 2) << command;
    EXPECT_NE((run.out + run.err).find("File 0 Line Error,Please Check!"), std::string::npos)
        << command;
    EXPECT_NE((run.out + run.err).find("line 1: \\x00\\x00"), std::string::npos) << command;
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
  dir_.Write("reader.json", R"({"faults":[{"code":125,"nth":2,"action":"status","status":4}]})");
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
    const CliRun run =
        Finish(::popen(("trap '' XFSZ; ulimit -f 0; exec " + std::string(VANTOR_CLI_PATH) + " " +
                        args + " </dev/null 2>&1")
                           .c_str(),
                       "r"));
    EXPECT_EQ(run.exitCode, 1) << args;
    EXPECT_NE(run.out.find("state file " + F("reader.json") + ": not written: cannot write " +
                           F("reader.json.tmp")),
              std::string::npos)
        << run.out;
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
    dir_.Write("reader.json",
               c.twice ? R"({"link_ms_per_report": 100})" : R"({"link_ms_per_report": 2})");
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
    EXPECT_NE(
        err.find("vantor: download interrupted: the reader now holds " + std::string(c.holds)),
        std::string::npos)
        << err;
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
  for (const std::string& args :
       {std::string("led 3"), std::string("info"), "download " + F("script.bin")}) {
    const CliRun run = Finish(StartVantor(args, true));
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
