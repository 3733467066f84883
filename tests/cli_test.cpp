// The vantor command line end to end against emulated readers: exit codes,
// what goes to stdout and stderr, several readers at once, interruption,
// and output that cannot be written.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

#include "cli_run.h"
#include "emulator/sim_link.h"
#include "history/record.h"

namespace vantor::test {
namespace {

using nlohmann::json;
constexpr auto npos = std::string::npos;

// The reader answers the second record write with status 4.
const std::string kFault = R"("faults":[{"code":125,"nth":2,"action":"status","status":4}])";

class Cli : public ::testing::Test {
 protected:
  Cli() {
    dir_.Write("script.bin", "; demo\n00 A4 04 00\nreset\n");
    dir_.Write("bad.bin", "; demo\n00 A4\nGG\n");
    dir_.Write("fw.bin", ";=F1 ProductType=02 ProductNum=05\n0102\n");
  }
  std::string F(const std::string& name) const { return dir_.File(name); }
  CliRun Vantor(const std::string& args, const std::string& shell = "") {
    return RunShell(shell + " " VANTOR_CLI_PATH " " + args, F("err.txt"));
  }
  json State(const std::string& path) const { return json::parse(ReadFile(path)); }
  // Four readers, r3 r1 r2 r4 in search order.
  void MakeReaders(const std::string& extra = "") {
    std::string list;
    for (const std::string name : {"r3", "r1", "r2", "r4"}) {
      dir_.Write(name + ".json", "{" + extra + "\"led\":[]}");
      readers_.push_back(F(name + ".json"));
      list += (list.empty() ? "" : ":") + readers_.back();
    }
    sim_.emplace("VANTOR_READER_SIM", list.c_str());
  }

  TempDir dir_;
  std::vector<std::string> readers_;
  std::optional<ScopedEnv> sim_{std::in_place, "VANTOR_READER_SIM", F("reader.json").c_str()};
  ScopedEnv timeout_{"VANTOR_READ_TIMEOUT_MS", "2000"};
  ScopedEnv noSelection_{"VANTOR_READER", nullptr};
  ScopedEnv history_{"VANTOR_HISTORY", F("history.jsonl").c_str()};
};

TEST_F(Cli, ExitCodesAndTexts) {
  const std::string escape = R"({"firmware_version":"V\u001b[2J"})";
  const std::string inUse = "vantor: reader " + F("reader.json") + " is in use by another program";
  int files = 0;
  const auto download = [&](const std::string& bytes) {  // a file of these bytes
    dir_.Write(std::to_string(++files) + ".bin", bytes);
    return "download " + F(std::to_string(files) + ".bin");
  };
  struct Case {
    std::string args;
    int exitCode;
    std::string outStart, inErr, shell = "", state = "";  // state: the reader's state file
    bool held = false;                                    // by another program
  } cases[] = {
      {"check " + F("script.bin"), 0, "mode: 0 (offline-data script)\n", ""},
      {"check " + F("missing.bin"), 2, "",
       "Open File Error!\nvantor: " + F("missing.bin") + ": No such file or directory\n"},
      {"check " + F("bad.bin"), 2,
       "mode: 0 (offline-data script)\nheader: B0 00 00 (sent only with a firmware image)\n"
       "lines: 2\nFile 2 Line Error,Please Check!\nline 3: GG\n",
       ""},
      {"download " + dir_.path(), 2, "",
       "Open File Error!\nvantor: " + dir_.path() + ": Is a directory\n"},
      // A bad line is echoed short and escaped.
      {download(std::string("; h\nG\0X\\\xFF\n", 10)), 2, "",
       "File 1 Line Error,Please Check!\nline 2: G\\x00X\\\\\\xff\n"},
      {download(";" + std::string(2000, '0') + "\n00\n"), 2, "",
       "\nline 1: ;" + std::string(79, '0') + "...\n"},
      {"download " + F("fw.bin") + " --all --json", 4, "{", "please confirm!"},  // no terminal
      {download(";=E0\n00\n"), 0, "Loading...\n", ""},
      {"download " + F("script.bin"), 1, "Loading...\n00A40400Loading Error!\n", "", "",
       "{" + kFault + "}"},
      {"download " + F("script.bin"), 3, "Open Device Error!", "no reader found", "", "{ no"},
      {"info", 3, "Open Device Error!", "no reader found", "", "{ no"},
      {"info", 0, "Firmware Version: V\\x1b[2J\n", "", "", escape},
      {"version", 0, "V\\x1b[2J\n", "", "", escape},
      // Text whose code page gives kept bytes (U+DC80, U+DCFF): their Latin-1 reading.
      {"info --json", 0, "{\n  \"firmware_version\": \"\u0080\u00ff\"", "", "VANTOR_CODEPAGE=UTF-7",
       R"({"firmware_version":"+3IDc/w-"})"},
      {"apdu 00A40", 2, "", "hex"},
      {"led 300", 2, "", "300"},
      {"beep 1", 0, "ok\n", "", "VANTOR_READ_TIMEOUT_MS=3600000"},
      {"frobnicate", 2, "", "unknown command 'frobnicate'"},
      {"--version", 0, "vantor " VANTOR_TOOL_VERSION "\n", ""},
      {"powerdown --slot -1", 2, "", "-1"},
      {"led 1", 2, "", "VANTOR_READ_TIMEOUT_MS=5x is not", "VANTOR_READ_TIMEOUT_MS=5x"},
      {"led 1", 2, "", "=3600001 ", "VANTOR_READ_TIMEOUT_MS=3600001"},
      {"list", 3, "", "no reader attached", "VANTOR_READER_SIM=:"},
      {"check " + F("script.bin"), 2, "", "VANTOR_CODEPAGE=FOO", "VANTOR_CODEPAGE=FOO"},
      // --all with a chosen reader names both; a path is shown escaped.
      {"download " + F("script.bin") + " --all --reader x", 2, "", "--all and --reader=x"},
      {"info --all", 2, "", "--all and VANTOR_READER=y", "VANTOR_READER=y"},
      {"--reader \"$(printf '\\033[2J')\" led 1", 3, "", "reader \\x1b[2J is not attached"},
      // An empty choice is no choice of the first reader: nothing is sent.
      {"--reader '' led 1", 2, "", "no reader path given (--reader is empty)"},
      {"led 1", 2, "", "no reader path given (VANTOR_READER is empty)", "VANTOR_READER="},
      {"--reader serial: led 1", 2, "", "no serial number given (--reader=serial:)"},
      {"download " + F("script.bin"), 2, "", "no serial number given (VANTOR_READER=serial:)",
       "VANTOR_READER=serial:"},
      // A history that cannot be written: nothing is downloaded.
      {"download " + F("script.bin"), 1, "", "cannot write the download history " + F("bad.bin"),
       "VANTOR_HISTORY=" + F("bad.bin") + "/h.jsonl"},
      // Output that could not be written fails the command.
      {"list --json >/dev/full", 1, "", "vantor: writing output failed: No space left on device\n"},
      {"download " + F("script.bin") + " >&-", 1, "",
       "vantor: writing output failed: Bad file descriptor\n"},
      // A reader that another program holds: named, left out of a batch.
      {"led 3", 3, "", inUse, "", "", true},
      {"info", 3, "", inUse, "", "", true},
      {"info --all", 3, "", inUse, "", "", true},
      {"download " + F("script.bin"), 3, "", inUse, "", "", true},
      {"download " + F("script.bin") + " --all", 3, "", inUse + ", left out", "", "", true},
      {"list", 0, F("reader.json") + "  0755:0001 v0205  in use\n", "", "", "", true},
      // Last: the APDU's bytes reach the card as written, blanks and colons aside.
      {"apdu '00 a4:04 0B 1c' --slot 255", 0, "9000\n", "", "VANTOR_READ_TIMEOUT_MS="},
  };
  for (const auto& c : cases) {
    if (!c.state.empty()) dir_.Write("reader.json", c.state);
    const auto held = c.held ? sim::OpenLink(F("reader.json").c_str()) : nullptr;
    ASSERT_EQ(held != nullptr, c.held) << c.args;  // a reader another program holds must be held
    const CliRun run = Vantor(c.args, c.shell);
    if (held) held->Close();
    const std::string what = c.shell + " " + c.args + "\n" + run.out + run.err;
    EXPECT_EQ(run.exitCode, c.exitCode) << what;
    EXPECT_EQ(run.out.substr(0, c.outStart.size()), c.outStart) << what;
    EXPECT_NE(run.err.find(c.inErr), npos) << what;
    if (!c.state.empty()) std::filesystem::remove(F("reader.json"));
  }
  EXPECT_EQ(State(F("reader.json"))["log"].back().dump(),
            R"({"code":111,"data":"00A4040B1C","slot":255})");
  // On a terminal the firmware image is asked for: "y" downloads it, "n" declines.
  for (const auto& [answer, exitCode] : {std::pair{"y", 0}, {"n", 4}}) {
    const CliRun run = RunShell(std::string("printf '") + answer + "\\n' | script -qec '" +
                                    VANTOR_CLI_PATH + " download " + F("fw.bin") + "' /dev/null",
                                F("err.txt"));
    EXPECT_EQ(run.exitCode, exitCode) << run.out;
    EXPECT_NE(run.out.find("please confirm!\r\nConfirm? [y/N] "), npos) << run.out;
  }
}

// A path is bytes: one that is not valid in the locale still reaches the
// OS as it is, the name stored is converted as the window shows it, and
// every JSON writer carries it (Latin-1 reading, raw bytes in hex).
TEST_F(Cli, PathsAreBytes) {
  dir_.Write("caf\xE9.bin", "; demo\n00 A4 04 00\n");
  const std::string utf8 = "LC_ALL=C.UTF-8", name = F("caf\xE9.bin");
  const CliRun run = Vantor("download " + name, utf8);
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out, "caf\u00e9.bin\n\nDownload SUCCESS!\n");
  EXPECT_EQ(json::parse(Vantor("info --json", utf8).out)["offline_file"], "caf\u00e9.bin");

  // A reader and a file whose names are not UTF-8, in every JSON writer.
  sim_.emplace("VANTOR_READER_SIM", F("r\xFF.json").c_str());
  for (const std::string& args : {std::string("list --json"), std::string("info --all --json"),
                                  "download " + name + " --all --json"}) {
    const CliRun run = Vantor(args, utf8);
    ASSERT_EQ(run.exitCode, 0) << args << run.err;
    EXPECT_NE(run.out.find("r\u00ff.json"), npos) << args << run.out;
    EXPECT_NE(run.out.find(text::ToLowerHex(F("r\xFF.json"))), npos) << args << run.out;
  }

  // The --all table's columns line up on a terminal: a name's width is its
  // characters, not its bytes.
  sim_.emplace("VANTOR_READER_SIM", (F("r\u00e9\u00e9.json") + ":" + F("r12.json")).c_str());
  std::istringstream table(Vantor("download " + name + " --all", utf8).out);
  std::set<std::size_t> columns;  // where each line's second column starts, in characters
  for (std::string line; std::getline(table, line) && line.find(" of ") == npos;) {
    const std::string before = line.substr(0, line.find_first_not_of(' ', line.find("  ")));
    columns.insert(before.size() - std::count(before.begin(), before.end(), '\xC3'));
  }
  EXPECT_EQ(columns.size(), 1u);
}

// A state that cannot be written (here: no file may grow) fails the
// command, naming the file and the reason, in a batch too; a temp file
// that a killed save left behind goes with the next save.
TEST_F(Cli, UnwritableStateFails) {
  dir_.Write("reader.json.tmp12345", "{");
  const std::regex said("state file " + F("reader.json") + ": not written: cannot write " +
                        F("reader.json.tmp") + ".*: File too large\n");
  for (const std::string& args :
       {std::string("led 3"), "download " + F("script.bin"),
        "download " + F("script.bin") + " --all --json", std::string("info --all --json")}) {
    const CliRun run =
        RunShell("trap '' XFSZ; ulimit -f 0; VANTOR_HISTORY=off " VANTOR_CLI_PATH " " + args, "&1");
    EXPECT_EQ(run.exitCode, 1) << args;
    EXPECT_TRUE(std::regex_search(run.out, said)) << run.out;
    EXPECT_NE(run.out.find("closing the reader failed"), npos) << run.out;
    EXPECT_FALSE(std::regex_search(run.out, std::regex("\"ok\": true|\"success\"|SUCCESS")))
        << run.out;
  }
  EXPECT_EQ(Vantor("led 3").exitCode, 0);
  EXPECT_FALSE(std::filesystem::exists(F("reader.json.tmp12345")));
  EXPECT_EQ(State(F("reader.json"))["led"], json::parse("[3]"));
}

// A download that a signal stops, into one reader or all of them: the
// exchange in flight ends, then the failure buzzer, the state written,
// what each reader holds said, exit 128 + the signal. A second signal ends
// the process at once. A closed output pipe does not stop it.
TEST_F(Cli, SignalStopsTheDownload) {
  std::string script = "; long\n", image = ";=F1 ProductType=02 ProductNum=05\n";
  for (int i = 0; i < 400; ++i) script += "00 A4 04 00\n", image += "0102030405\n";
  dir_.Write("long.bin", script);
  dir_.Write("long-fw.bin", image);
  // The download signalled once under way (a few records sent); then again.
  const auto stopped = [&](const std::string& args, const char* signal, const char* again = "") {
    return RunShell(VANTOR_CLI_PATH " download --yes " + args +
                        " & while kill -0 $! && ! grep -qs '" +
                        (args.find("--all") != npos ? "10%" : "2%") + "$' " + F("err.txt") +
                        "; do sleep 0.005; done; kill -" + signal + " $!; " + again + " wait $!",
                    F("err.txt"));
  };
  for (const auto& [signal, exitCode, args, holds] :
       {std::tuple{"INT", 130, F("long.bin"), std::string("script")},
        {"TERM", 143, F("long-fw.bin"), "firmware image; download again before unplugging"},
        {"HUP", 129, F("long.bin") + " --all", "script"}}) {
    SCOPED_TRACE(args + " " + signal);
    const bool all = args.find("--all") != npos;
    readers_ = {F("reader.json")};
    if (all) readers_.clear(), MakeReaders(R"("link_ms_per_report": 2,)");
    dir_.Write("reader.json", R"({"link_ms_per_report": 2})");
    const CliRun run = stopped(args, signal);
    EXPECT_EQ(run.exitCode, exitCode);
    const std::string said = all ? run.out : run.err;
    EXPECT_NE(said.find("interrupted: the reader now holds an incomplete " + holds), npos) << said;
    for (const auto& reader : readers_) {
      json state = State(reader);
      EXPECT_EQ(state["buzzer"], json::parse("[1]")) << reader;
      ASSERT_TRUE(!state["log"].empty() && state["log"].size() < 400u) << reader;
      // The buzzer came last, read as a frame of its own: none was cut short.
      EXPECT_EQ(state["log"].back()["code"], 0x79);
    }
  }
  // A second signal in the clean-up (slow here) ends the process at once.
  sim_.emplace("VANTOR_READER_SIM", F("reader.json").c_str());
  dir_.Write("reader.json", R"({"link_ms_per_report": 100})");
  const CliRun twice = stopped(F("long.bin"), "TERM", "sleep 0.1; kill -TERM $!;");
  EXPECT_EQ(twice.exitCode, 143);
  EXPECT_EQ(twice.err.find("interrupted"), npos) << twice.err;

  // Output into a pipe that closes at once: the download still ends whole,
  // and the lost output fails it.
  dir_.Write("reader.json", R"({"link_ms_per_report": 1})");
  const std::string piped = VANTOR_CLI_PATH " download " + F("long.bin") + " 2>&1 | head -c 1";
  EXPECT_EQ(RunShell("bash -c 'set -o pipefail; " + piped + "'", "/dev/null").exitCode, 1);
  EXPECT_EQ(State(F("reader.json"))["offline_records"].size(), 402u);
}

TEST_F(Cli, ChoosingAReader) {
  MakeReaders();
  for (const std::string serial : {"r2 SN-2", "r1 SN-X", "r4 SN-X"})  // file, serial
    dir_.Write(serial.substr(0, 2) + ".json", R"({"serial":")" + serial.substr(3) + "\"}");
  EXPECT_EQ(json::parse(Vantor("list --json").out).at(2).dump(),
            R"({"path":")" + readers_[2] +
                R"(","product":1,"serial":"SN-2","status":"ok","usb_path":"",)"
                R"("vendor":1877,"version":517})");
  EXPECT_NE(Vantor("list").out.find(readers_[2] + "  0755:0001 v0205  ok  serial SN-2\n"), npos);

  // Which reader (index into readers_; -1: none, exit 3) each way of
  // choosing one reaches (the LED value lands there), and what stderr says.
  int value = 10;
  for (const auto& [how, reader, err] :
       {std::tuple<std::string, int, std::string>{"--reader " + readers_[2], 2, ""},
        {"--reader " + readers_[1], 1, ""},  // over VANTOR_READER
        {"--reader serial:SN-2", 2, ""},
        {"--reader serial:SN-X", -1, "readers " + readers_[1] + " and " + readers_[3]},
        {"--reader serial:SN-9", -1, "serial number SN-9"}}) {
    const CliRun run =
        Vantor(how + " led " + std::to_string(++value), "VANTOR_READER=" + readers_[3]);
    EXPECT_EQ(run.exitCode, reader < 0 ? 3 : 0) << how << "\n" << run.err;
    EXPECT_NE(run.err.find(err), npos) << run.err;
    for (std::size_t i = 0; i < readers_.size(); ++i) {
      const json led = State(readers_[i])["led"];
      EXPECT_EQ(!led.empty() && led.back() == value, static_cast<int>(i) == reader) << how << i;
    }
  }
}

// Two names of one state file (in the current folder) are one reader to
// every command: listed once, found once by its serial number, programmed
// once. Before the file exists, the path it resolves to tells.
TEST_F(Cli, OneStateFileUnderTwoNames) {
  dir_.Write("real.json", R"({"serial":"REAL"})");
  std::filesystem::create_symlink("real.json", F("link.json"));
  for (const auto& [first, second, serial] :
       {std::tuple<std::string, std::string, std::string>{"link.json", "real.json", "REAL"},
        {"real.json", "./real.json", "REAL"},
        {"new.json", "./new.json", ""}}) {
    const std::string in = "cd " + dir_.path() + " && VANTOR_READER_SIM=" + first + ":" + second;
    SCOPED_TRACE(in);
    EXPECT_NE(
        Vantor("list", in).out.find(second + "  0755:0001 v0205  the same reader as " + first),
        npos);
    if (!serial.empty()) {
      EXPECT_EQ(Vantor("--reader serial:" + serial + " led 7", in).exitCode, 0);
    }
    const CliRun all = Vantor("download " + F("script.bin") + " --all --json", in);
    EXPECT_EQ(all.exitCode, 0) << all.err;
    EXPECT_EQ(json::parse(all.out)["total"], 1) << all.out;
  }
  EXPECT_EQ(State(F("real.json"))["led"], json::parse("[7,7]"));
}

// A state file that cannot be used (a FIFO) is listed with the reason, and no command waits for a
// FIFO (they would block opening it); the same file twice is one reader, programmed once.
TEST_F(Cli, UnusableAndRepeatedStateFiles) {
  ASSERT_EQ(::mkfifo(F("fifo.json").c_str(), 0600), 0);
  dir_.Write("reader.json", R"({"serial":"SN-1"})");
  const std::string reader = F("reader.json"), ok = "Firmware Version: ";
  sim_.emplace("VANTOR_READER_SIM", (F("fifo.json") + ":" + reader + ":" + reader).c_str());
  for (const auto& [args, exitCode, out, err] :
       {std::tuple<std::string, int, std::string, std::string>{
            "list", 0,
            F("fifo.json") + "  0755:0001 v0205  cannot be used: is a FIFO, not a regular file\n",
            ""},
        {"list", 0, "  the same reader as " + reader + "  serial SN-1\n", ""},
        {"info", 0, ok, ""},
        {"--reader " + reader + " info", 0, ok, ""},
        {"--reader serial:SN-1 info", 0, ok, ""},
        {"info --all", 1, "== " + reader + "\n" + ok, ""},
        {"download " + F("script.bin") + " --all", 1, reader + "  Download SUCCESS!",
         "is the same reader as " + reader + ", programmed once"}}) {
    const CliRun run = Vantor(args, "timeout -s KILL 20");
    EXPECT_EQ(run.exitCode, exitCode) << args << "\n" << run.out << run.err;
    EXPECT_NE(run.out.find(out), npos) << args << "\n" << run.out;
    EXPECT_NE(run.err.find(err), npos) << args << "\n" << run.err;
  }
}

TEST_F(Cli, DownloadAllWithOneFaultyReader) {
  MakeReaders();
  dir_.Write("r1.json", "{" + kFault + "}");
  const CliRun run = Vantor("download " + F("script.bin") + " --all --json");
  EXPECT_EQ(run.exitCode, 1) << run.err;
  const json summary = json::parse(run.out);
  EXPECT_EQ(summary["total"], 4);
  EXPECT_EQ(summary["succeeded"], 3);
  EXPECT_EQ(summary["failed"], 1);
  const json script = json::parse(R"([{"type":2,"data":""},{"type":17,"data":"00A40400"},
                                      {"type":16,"data":""},{"type":3,"data":""}])");
  std::map<std::string, std::string> ends, recorded;  // attempt -> its result and failed step
  for (std::size_t i = 0; i < readers_.size(); ++i) {
    const json& entry = summary["readers"].at(i);
    const bool faulty = i == 1;
    const std::string message = faulty ? "00A40400Loading Error!" : "Download SUCCESS!";
    EXPECT_EQ(entry["path"], readers_[i]);
    EXPECT_EQ(entry["ok"], !faulty);
    EXPECT_EQ(entry["message"], message);
    const json records = State(readers_[i])["offline_records"];
    EXPECT_TRUE(faulty || records == script) << records;
    // Without a terminal: progress lines start with the reader's path.
    EXPECT_NE(run.err.find(readers_[i] + "  " + (faulty ? message : "100%")), npos) << run.err;
    ends[entry["attempt"]] = faulty ? R"("failed""00A40400Loading Error!")" : R"("success"null)";
  }
  // The history holds both records of each attempt: the summary's batch,
  // the result and the step that failed.
  std::istringstream lines(ReadFile(F("history.jsonl")));
  for (std::string line; std::getline(lines, line);) {
    const json record = json::parse(line);
    EXPECT_EQ(record["batch"], summary["batch"]);
    if (record["event"] == "finished") {
      recorded[record["attempt"]] = record["result"].dump() + record["failed_step"].dump();
    }
  }
  EXPECT_EQ(recorded, ends);
  const std::string table = Vantor("download " + F("script.bin") + " --all").out;
  for (const auto& reader : readers_) EXPECT_NE(table.find(reader), npos);
  EXPECT_NE(table.find("3 of 4 readers succeeded, 1 failed"), npos) << table;

  // A file problem ends the batch before any reader is touched.
  dir_.Write("r3.json", "{}");
  for (const char* bad : {"bad.bin", "fw.bin"}) Vantor("download " + F(bad) + " --all");
  EXPECT_EQ(State(readers_[0]).count("log"), 0u);
  // Confirmed once, the image reaches every reader.
  EXPECT_EQ(Vantor("download " + F("fw.bin") + " --all --yes").exitCode, 0);
}

// A batch lists its readers once and each reader keeps what the list said:
// by the time the downloads run, vantor has read each state file twice (the
// list, the reader's open), not once more for every reader of the batch.
TEST_F(Cli, ABatchListsItsReadersOnce) {
  std::string log, script = "; long\n";
  for (int i = 0; i < 3000; ++i) log += R"({"code":125,"slot":0,"data":"00A4040000"},)";
  for (int i = 0; i < 100; ++i) script += "00 A4 04 00\n";
  dir_.Write("long.bin", script);
  log.pop_back();
  MakeReaders(R"("link_ms_per_report": 2, "log": [)" + log + "],");
  const auto stateBytes = std::filesystem::file_size(readers_[0]) * readers_.size();
  // What the process has read (/proc/PID/io) once a reader is 10 % through.
  const CliRun run = RunShell(VANTOR_CLI_PATH " download " + F("long.bin") + " --all & " +
                                  "while kill -0 $! && ! grep -qs '10%$' " + F("err.txt") +
                                  "; do sleep 0.005; done; grep rchar /proc/$!/io; wait $!",
                              F("err.txt"));
  EXPECT_EQ(run.exitCode, 0) << run.err;
  std::smatch read;
  ASSERT_TRUE(std::regex_search(run.out, read, std::regex("rchar: ([0-9]+)"))) << run.out;
  EXPECT_LT(std::stoull(read[1]), 3 * stateBytes) << "bytes read of " << stateBytes;
}

// A history that cannot account for the attempts is refused, before any
// reader is touched, without a hang, and stays as it was: no regular file
// (a FIFO nobody reads, a device), a link in its last component (whatever
// it names is left alone), another user's file (named, with the ways on),
// a disk that takes only part of a batch's records (none of them stays).
// A download that records nothing makes no history, nor its folder.
TEST_F(Cli, HistoryThatCannotAccountIsRefused) {
  MakeReaders();
  dir_.Write("target.conf", "keep\n");
  const std::string full(3000, 'x');  // and its line break: 1 KiB short of the limit below
  dir_.Write("full.jsonl", full + "\n");
  const bool root = ::geteuid() == 0;
  const std::string ways =
      "it belongs to root (download with --no-history, or keep a history of your own with "
      "VANTOR_HISTORY=FILE)";
  struct Case {
    std::string setup, history, args;
    std::string inErr, prefix = "";
    std::string kept = "", content = "";  // a file left with this content ("" absent)
    bool opened = false;  // the readers were taken (nothing sent) before the history failed
    int exitCode = 1;
    std::string gone = "";  // a path that must not be there afterwards
  } cases[] = {
      {"mkfifo h.fifo", "h.fifo", "download " + F("script.bin") + " --all",
       F("h.fifo") + ": is a FIFO, not a regular file; nothing was downloaded"},
      {"", "h.fifo", "history", "history " + F("h.fifo") + " is a FIFO, not a regular file"},
      {"", "/dev/full", "download " + F("script.bin"), "is a character device, not a regular"},
      {"", "/dev/full", "history", "/dev/full is a character device, not a regular file"},
      {"ln -s target.conf link.jsonl", "link.jsonl", "download " + F("script.bin"),
       F("link.jsonl") + ": is a symbolic link", "", "target.conf", "keep\n"},
      {"", "link.jsonl", "history", "is a symbolic link"},
      {"ln -s gone.conf gone.jsonl", "gone.jsonl", "download " + F("script.bin") + " --all",
       F("gone.jsonl") + ": is a symbolic link", "", "gone.conf"},
      {"", "full.jsonl", "download " + F("script.bin") + " --all", "File too large",
       "trap '' XFSZ; prlimit --fsize=4096", "full.jsonl", full + "\n", true},
      {root ? "chmod 755 . && mkdir -m 755 shared && touch shared/h.jsonl" : "", "shared/h.jsonl",
       "download " + F("script.bin"), F("shared/h.jsonl") + ": Permission denied; " + ways,
       "setpriv --reuid=65534 --regid=65534 --clear-groups", "shared/h.jsonl", ""},
      {"", "new/h.jsonl", "download " + F("script.bin"), "no reader", "VANTOR_READER_SIM=:", "", "",
       false, 3, "new"},
      {"", "new/h.jsonl", "download " + F("script.bin") + " --all", "no reader found",
       "VANTOR_READER_SIM=:", "", "", false, 3, "new"},
  };
  for (const auto& c : cases) {
    if (c.history == "shared/h.jsonl" && !root) continue;  // another user's file needs root
    if (!c.setup.empty()) RunShell("cd " + dir_.path() + " && " + c.setup, "/dev/null");
    const std::string history = c.history[0] == '/' ? c.history : F(c.history);
    const CliRun run = Vantor(c.args, "VANTOR_HISTORY=" + history + " " + c.prefix + " timeout 20");
    EXPECT_EQ(run.exitCode, c.exitCode) << c.args << " " << c.history << "\n" << run.out << run.err;
    EXPECT_NE(run.err.find(c.inErr), npos) << c.history << "\n" << run.err;
    if (!c.kept.empty()) {
      EXPECT_EQ(std::filesystem::exists(F(c.kept)) ? ReadFile(F(c.kept)) : "", c.content)
          << c.history;
    }
    EXPECT_TRUE(c.gone.empty() || !std::filesystem::exists(F(c.gone))) << c.args;
    for (const auto& reader : readers_) {
      json state = State(reader);
      EXPECT_EQ(state.count("log"), c.opened ? 1u : 0u) << c.history;
      EXPECT_TRUE(state.value("offline_records", json::array()).empty()) << c.history;
      dir_.Write(reader.substr(reader.rfind('/') + 1), "{\"led\":[]}");
    }
  }
}

// One rule for everything vantor shows on a terminal, in every command: C0,
// DEL, C1 and the bidirectional controls escaped, and a byte that is not
// UTF-8 escaped the same way wherever a name is shown.
TEST_F(Cli, OneEscapingRuleOnTheTerminal) {
  const std::string name = F("r\xFF.json");
  dir_.Write("r\xFF.json", R"({"serial":"S\u009b2J\u202e","firmware_version":"V\u202e1"})");
  sim_.emplace("VANTOR_READER_SIM", name.c_str());
  const std::string shownName = F("r\\xff.json");
  dir_.Write("h.jsonl",
             R"({"event":"finished","attempt":"a1","time":"2026-12-07T08:00:00.000Z",)"
             R"("reader_path":"r\u00ff.json","serial":"S\u009b2J","file_name":"\u202ex\u2066.bin",)"
             R"("result":"\u001b[2J\u001b[31m","raw":{"reader_path":"72ff2e6a736f6e"}})"
             "\n");
  const std::string utf8 = "LC_ALL=C.UTF-8 ";
  for (const auto& [args, shown] :
       {std::pair<std::string, std::string>{"list", shownName + "  0755:0001 v0205  ok  serial "
                                                                "S\\x9b2J\\u202e\n"},
        {"info", "Firmware Version: V\\u202e1\n"},
        {"--reader $(printf 'x\\342\\200\\256') info", "reader x\\u202e is not attached"},
        {"history --since " + std::string("$(printf '\\033')"), "--since \\x1b is no UTC date"},
        {"history --limit $(printf '\\302\\233')",
         "--limit: not a whole number of attempts (0 "
         "or more): \\x9b"},
        {"history", "\\x1b[2J\\x1b[31m  r\\xff.json  S\\x9b2J  \\u202ex\\u2066.bin"}}) {
    const CliRun run = Vantor(args, utf8 + "VANTOR_HISTORY=" + F("h.jsonl"));
    const std::string said = run.out + run.err;
    EXPECT_NE(said.find(shown), npos) << args << "\n" << said;
    for (const char* raw : {"\x1b", "\xc2\x9b", "\xe2\x80\xae", "\xe2\x81\xa6", "\xff"}) {
      EXPECT_EQ(said.find(raw), npos) << args << "\n" << said;
    }
  }
}

// The documentation's tables of options, environment variables and exit
// codes name exactly what vantor's help (made from the code's tables) does.
TEST_F(Cli, DocumentationMatchesTheHelp) {
  std::string help;
  for (const char* command : {"", "list", "download", "info", "apdu", "history", "station"}) {
    help += Vantor(std::string(command) + " --help").out;
  }
  const auto words = [](const std::string& text, const char* pattern) {
    std::set<std::string> found;
    const std::regex regex(pattern);
    for (std::sregex_iterator i(text.begin(), text.end(), regex), e; i != e; ++i)
      found.insert((*i)[1]);
    return found;
  };
  const std::string docs = ReadFile(VANTOR_SOURCE_DIR "/docs/command-line.md");
  const auto section = [&](const std::string& heading) {
    const std::size_t at = docs.find("## " + heading);
    return docs.substr(at, docs.find("\n## ", at + 1) - at);
  };
  const char *variable = "(VANTOR_[A-Z_]+)", *option = "(--[a-z][a-z-]*)";
  const auto inHelp = words(help.substr(help.find("Environment:")), variable);
  EXPECT_EQ(words(section("Environment variables"), variable), inHelp);
  EXPECT_EQ(words(section("Options"), option), words(help, option));
  const std::string exitCodes = help.substr(help.find("Exit codes:"));
  EXPECT_EQ(exitCodes.substr(0, 20), "Exit codes: 0 ok, 1 ") << exitCodes;
  EXPECT_EQ(words(section("Exit codes"), "\\| `([0-9])`"), words(exitCodes, "(\\b[0-9]) [a-z]"));
  const auto inRoff = words(ReadFile(VANTOR_SOURCE_DIR "/packaging/environment.roff"), variable);
  EXPECT_TRUE(std::includes(inHelp.begin(), inHelp.end(), inRoff.begin(), inRoff.end()));
}

// Of programs racing for one reader, each either runs whole or is turned
// away (exit 3), and no LED value that one of them set is lost.
TEST_F(Cli, ProgramsRacingForAReader) {
  const std::string race =
      "for i in $(seq 8); do (" VANTOR_CLI_PATH " led $i >/dev/null; echo $?)&";
  const std::string codes = RunShell(race + " done; wait", "/dev/null").out;
  const auto done = std::count(codes.begin(), codes.end(), '0');
  EXPECT_EQ(done + std::count(codes.begin(), codes.end(), '3'), 8) << codes;
  EXPECT_GE(done, 1);
  EXPECT_EQ(State(F("reader.json"))["led"].size(), std::size_t(done));
}

// vantor station with readers named by state files (attached all along):
// the exit codes, JSON Lines that parse one by one, the plain lines, and
// the two signals as the process sees them. Every run is bounded.
TEST_F(Cli, Station) {
  MakeReaders(R"("serial":"S1",)");
  std::string slow = "; long\n";
  for (int i = 0; i < 200; ++i) slow += "00 A4 04 00\n";
  dir_.Write("long.bin", slow);
  dir_.Write("long-reader.json", R"({"link_ms_per_report": 5})");
  dir_.Write("faulty.json", "{" + kFault + "}");
  const std::string two = "VANTOR_READER_SIM=" + readers_[0] + ":" + readers_[1];
  const std::string script = " " + F("script.bin"), out = F("out.jsonl");
  struct Case {
    std::string what, env;
    int seconds;  // the run's bound
    std::string args;
    int exitCode;
    std::string summary;  // succeeded failed skipped, "" for no summary line
    int signals = 0;      // TERMs once a download started, instead of the above
  } cases[] = {
      {"two readers", two, 20, "--json --count 2" + script, 0, "2 0 0"},
      {"one fails, the next one succeeds",
       "VANTOR_READER_SIM=" + F("faulty.json") + ":" + readers_[1], 20, "--json --count 1" + script,
       1, "1 1 0"},
      {"skip-done: both hold the file now", two, 5, "--json --skip-done" + script, 124, "0 0 2"},
      {"count 0", "", 20, "--json --count 0" + script, 2, ""},
      {"a missing file", "", 20, "--json " + F("missing.bin"), 2, "0 0 0"},
      {"skip-done without the history", "", 20, "--skip-done --no-history" + script, 2, ""},
      {"a reader named", "VANTOR_READER=" + readers_[0], 20, script, 2, ""},
      {"a firmware image not confirmed", "", 20, "--json " + F("fw.bin"), 4, "0 0 0"},
      {"a history that cannot record", "VANTOR_HISTORY=" + F("script.bin/h"), 20,
       "--json --count 1" + script, 1, "0 0 0"},
      {"one signal: the download finishes", "", 0, "", 0, "1 0 0", 1},
      {"two signals: the download is interrupted", "", 0, "", 143, "0 1 0", 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string command =
        c.env + " timeout " + std::to_string(c.seconds) + " " VANTOR_CLI_PATH " station " + c.args;
    if (c.signals > 0) {
      // Signalled once a download started (or after 30 s); a watchdog kills
      // a station that outlives a minute.
      const std::string wait = "i=0; until grep -qs started " + out +
                               " || [ $i -ge 1500 ]; do i=$((i+1)); sleep 0.02; done; ";
      // The last case's output goes first: the wait must not see its "started".
      command = "rm -f " + out + "; VANTOR_READER_SIM=" + F("long-reader.json") +
                " " VANTOR_CLI_PATH " station --json " + F("long.bin") + " >" + out +
                " & p=$!; (sleep 60; kill -KILL $p) >/dev/null 2>&1 & w=$!; " + wait +
                "kill -TERM $p; " + (c.signals > 1 ? "sleep 0.3; kill -TERM $p; " : "") +
                "wait $p; rc=$?; kill $w; cat " + out + "; exit $rc";
    }
    const CliRun run = RunShell(command, F("err.txt"));
    EXPECT_EQ(run.exitCode, c.exitCode) << command << "\n" << run.out << run.err;
    // Every line is one JSON object; the summary comes last.
    std::istringstream lines(run.out);
    std::vector<json> events;
    for (std::string line; std::getline(lines, line);) {
      ASSERT_NO_THROW(events.push_back(json::parse(line))) << line;
    }
    if (c.summary.empty()) {
      EXPECT_TRUE(events.empty()) << run.out;
      continue;
    }
    ASSERT_FALSE(events.empty()) << run.err;
    const json& summary = events.back();
    EXPECT_EQ(summary["event"], "summary");
    EXPECT_EQ(std::to_string(summary["succeeded"].get<int>()) + " " +
                  std::to_string(summary["failed"].get<int>()) + " " +
                  std::to_string(summary["skipped"].get<int>()),
              c.summary);
    for (const json& event : events) {
      if (event["event"] == "skipped") {
        EXPECT_EQ(event["done_attempt"].get<std::string>().size(), 32u);
      }
      if (event["event"] != "finished") continue;
      for (const char* key : {"ok", "result", "message", "failed_step", "seconds", "attempt",
                              "batch", "path", "serial", "usb_path"}) {
        EXPECT_TRUE(event.contains(key)) << key;
      }
      EXPECT_EQ(event["batch"], summary["batch"]);
      if (c.signals > 1) {
        EXPECT_EQ(event["result"], "interrupted");
      }
    }
  }
  // The plain lines: time, reader, serial, result, seconds; then the totals.
  dir_.Write("plain.json", R"({"serial":"S1"})");
  const CliRun plain = Vantor("station --count 1 " + F("script.bin"),
                              "VANTOR_READER_SIM=" + F("plain.json") + " timeout 20");
  EXPECT_TRUE(std::regex_match(
      plain.out, std::regex("20\\d\\d-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ  " + F("plain.json") +
                            "  S1  Download SUCCESS!  "
                            "\\d+\\.\\d\\d s\n1 programmed, 0 failed, 0 "
                            "skipped, [0-9.]+ s, batch [0-9a-f]{32}\n")))
      << plain.out;
}

// vantor station on a folder of state files: a file put there is a reader
// plugged in, one removed a reader unplugged; a folder that goes ends the
// station (exit 3) naming it. The plugs stop after 30 s, the station
// after 40 s.
TEST_F(Cli, StationFollowsTheReaderFolder) {
  const std::string folder = F("readers");
  std::filesystem::create_directory(folder);
  dir_.Write("readers/probe.json", "{}");
  sim_.emplace("VANTOR_READER_SIM", folder.c_str());
  if (Vantor("list --json").out.find("probe.json") == npos) {
    GTEST_SKIP() << "no reader folders in VANTOR_READER_SIM in this build";
  }
  std::filesystem::remove(folder + "/probe.json");
  const std::string out = F("out.jsonl");
  const auto until = [&](const char* what) {
    return " && until grep -qs event.:." + std::string(what) + " " + out + "; do sleep 0.01; done";
  };
  const CliRun run =
      RunShell("(timeout 40 " VANTOR_CLI_PATH " station --json " + F("script.bin") + " >" + out +
                   "; echo $? >" + F("rc") + ") & timeout 30 sh -c 'sleep 0.2 && echo {} >" +
                   folder + "/a.json" + until("finished") + " && rm " + folder + "/a.json" +
                   until("detached") + " && rm -r " + folder + "'; wait; cat " + out,
               F("err.txt"));
  EXPECT_EQ(ReadFile(F("rc")), "3\n") << run.err;
  std::istringstream lines(run.out);
  std::string events;
  json summary;
  for (std::string line; std::getline(lines, line);) {
    summary = json::parse(line);
    events += summary["event"].get<std::string>() + " ";
    if (summary["event"] == "finished") {
      EXPECT_EQ(summary["ok"], true);
    }
  }
  EXPECT_EQ(events, "attached started finished detached summary ");
  EXPECT_NE(summary.value("error", "").find(folder), npos) << summary;
  EXPECT_NE(run.err.find(folder), npos) << run.err;
}

}  // namespace
}  // namespace vantor::test
