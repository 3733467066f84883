// The window's logic driven through the scripted host against the emulated
// reader: exact texts, the order of window operations, what reaches the
// reader and what is left behind.
#include <gtest/gtest.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "scripted_host.h"
#include "test_util.h"
#include "ui/VantorToolDlg.h"

namespace vantor::test {
namespace {

using Ops = std::vector<std::wstring>;
using nlohmann::json;

const std::wstring kLoading = L"Loading...\r\n";

class Controller : public ::testing::Test {
 protected:
  Controller() : dlg_(host_) {
    dlg_.OnInitDialog();
    host_.Take();
  }
  ~Controller() override { dlg_.CloseReader(); }

  // Writes the reader's state before it is first opened.
  void SetState(const json& state) { dir_.Write("state.json", state.dump()); }
  json State() const { return json::parse(ReadFile(dir_.File("state.json"))); }
  // Command codes of every frame the reader received.
  std::vector<int> Codes() const {
    std::vector<int> codes;
    const json state = State();
    for (const auto& entry : state["log"]) codes.push_back(entry["code"]);
    return codes;
  }

  // Runs the Download command on file and the worker to its end.
  Ops Download(const std::string& name, const std::string& content) {
    dir_.Write(name, content);
    host_.pathField = std::wstring(dir_.path().begin(), dir_.path().end()) + L"/" +
                      std::wstring(name.begin(), name.end());
    dlg_.OnDownload();
    host_.RunWorker();
    return host_.Take();
  }

  // The worker's operations: everything after "set-path ..." of the command.
  static Ops WorkerOps(const Ops& ops) {
    for (std::size_t i = 0; i < ops.size(); ++i) {
      if (ops[i].rfind(L"set-path", 0) == 0) return Ops(ops.begin() + i + 1, ops.end());
    }
    return {};
  }

  TempDir dir_;
  ScopedEnv sim_{"VANTOR_READER_SIM", dir_.File("state.json").c_str()};
  ScopedEnv timeout_{"VANTOR_READ_TIMEOUT_MS", "300"};
  ScopedEnv codepage_{"VANTOR_CODEPAGE", "CP1252"};
  ScopedEnv history_{"VANTOR_HISTORY", nullptr};
  ScriptedHost host_;
  CVantorToolDlg dlg_;
};

const Ops kDisable = {L"disable 1001", L"disable 1000", L"disable 1002", L"disable 1003"};
const Ops kEnable = {L"enable 1001", L"enable 1000", L"enable 1002", L"enable 1003"};

Ops Join(std::initializer_list<Ops> parts) {
  Ops all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

TEST_F(Controller, OfflineDataScriptSucceeds) {
  const Ops ops =
      Download("x.bin", "; offline data\r\n00 a4 04 00\r\n\r\n \t \r\nreset\r\nC-APDU 00 B0\r\n");
  EXPECT_EQ(ops.front(), L"get-path");
  EXPECT_EQ(ops[1], L"start-worker");
  EXPECT_EQ(WorkerOps(ops),
            Join({kDisable,
                  {L"pane " + kLoading, L"pane " + kLoading + L"50%", L"pane " + kLoading + L"75%",
                   L"pane " + kLoading + L"100%", L"pane x.bin\r\n\r\nDownload SUCCESS!\r\n"},
                  kEnable}));
  const json state = State();
  EXPECT_EQ(state["offline_records"],
            json::parse(R"([{"type":2,"data":""},{"type":17,"data":"00A40400"},
                            {"type":16,"data":""},{"type":17,"data":"00B0"},{"type":3,"data":""}])"));
  EXPECT_EQ(state["offline_file_name"], "782E62696E");
  EXPECT_EQ(state["buzzer"], json::parse("[0]"));
  EXPECT_EQ(Codes(), (std::vector<int>{0x7C, 0x7D, 0x7D, 0x7D, 0x7D, 0x7D, 0x7B, 0x79}));
  EXPECT_EQ(dlg_.ReaderHandle(), 0);
  EXPECT_EQ(dlg_.LastOutcome(), Outcome::kSuccess);
  EXPECT_TRUE(dlg_.CanClose());
  // The table and the mode stay for another run.
  EXPECT_EQ(dlg_.Lines().size(), 4u);
  EXPECT_EQ(dlg_.Lines().at(2), L"00 A4 04 00");
}

TEST_F(Controller, FirmwareImageSucceedsAfterYes) {
  // A failing first-block command does not stop the download.
  SetState({{"faults", {{{"code", 0x8B}, {"nth", 1}, {"action", "status"}, {"status", 4}}}}});
  host_.answers = {kIdYes};
  const Ops ops = Download("fw.bin", ";FW=F1 ProductType=22 ProductNum=33\n0102\n03 04\n");
  EXPECT_EQ(ops[1], L"box Info 4 This file is Update the Device Firmware, \n please confirm!");
  EXPECT_EQ(WorkerOps(ops),
            Join({kDisable,
                  {L"pane " + kLoading, L"pane " + kLoading + L"66%", L"pane " + kLoading + L"100%",
                   L"pane fw.bin\r\n\r\nDownload SUCCESS!\r\n"},
                  kEnable}));
  const json state = State();
  EXPECT_EQ(state["firmware"]["start"], "F12233");
  EXPECT_EQ(state["firmware"]["first"], "");  // refused by the reader
  EXPECT_EQ(state["firmware"]["blocks"], json::parse(R"(["0102","0304"])"));
  EXPECT_EQ(state["firmware"]["complete"], "");
  EXPECT_TRUE(state["buzzer"].empty());
}

TEST_F(Controller, FirmwareDeclinedLeavesTableAndReader) {
  Download("a.bin", "00\n11\n");
  host_.answers = {kIdNo};
  const Ops ops = Download("fw.bin", ";=F1 ProductType=22 ProductNum=33\n0102\n");
  EXPECT_EQ(ops, (Ops{L"get-path",
                      L"box Info 4 This file is Update the Device Firmware, \n please confirm!"}));
  EXPECT_EQ(dlg_.DownloadMode(), 1);
  EXPECT_EQ(dlg_.HeaderBytes()[0], 0xF1);
  EXPECT_EQ(dlg_.HeaderBytes()[2], 0x33);
  EXPECT_EQ(dlg_.Lines().at(1), L"00");  // the previous table
  EXPECT_GT(dlg_.ReaderHandle(), 0);     // still open, used by the next command
  EXPECT_EQ(dlg_.LastOutcome(), Outcome::kDeclined);
  // The next command works on the handle left open: a reader that could no
  // longer be opened does not stop it.
  dir_.Write("state.json", "not a reader");
  dlg_.OnGetDeviceInfo();
  EXPECT_EQ(dlg_.LastOutcome(), Outcome::kSuccess);
  EXPECT_EQ(dlg_.ReaderHandle(), 0);
}

// The reader vanishes between the Download command and the worker.
TEST_F(Controller, WorkerCannotOpenTheReader) {
  dir_.Write("x.bin", "00\n");
  host_.pathField = std::wstring(dir_.path().begin(), dir_.path().end()) + L"/x.bin";
  dlg_.OnDownload();
  // The worker waits for its first window operation; meanwhile the reader goes.
  dir_.Write("state.json", "not a reader");
  host_.RunWorker();
  EXPECT_EQ(
      WorkerOps(host_.Take()),
      Join({kDisable, {L"pane Open Device Error!", L"box Info 0 Open Device Error!"}, kEnable}));
  EXPECT_EQ(dlg_.StatusText(), L"");
  EXPECT_EQ(dlg_.ReaderHandle(), -2);
  EXPECT_EQ(dlg_.LastOutcome(), Outcome::kNoReader);
}

TEST_F(Controller, ModeTwoSendsNothing) {
  const Ops ops = Download("e.bin", ";x=E0\n00 11\n");
  EXPECT_EQ(WorkerOps(ops), Join({kDisable, {L"pane " + kLoading}, kEnable}));
  EXPECT_TRUE(State()["log"].empty());
  EXPECT_EQ(dlg_.LastOutcome(), Outcome::kNothingSent);
  EXPECT_EQ(dlg_.StatusText(), kLoading);
}

TEST_F(Controller, OnlyTheHeaderLine) {
  const Ops ops = Download("h.bin", "; nothing but the header\n");
  EXPECT_EQ(
      WorkerOps(ops),
      Join({kDisable, {L"pane " + kLoading, L"pane h.bin\r\n\r\nDownload SUCCESS!\r\n"}, kEnable}));
  EXPECT_EQ(Codes(), (std::vector<int>{0x7C, 0x7D, 0x7D, 0x7B, 0x79}));
}

TEST_F(Controller, CommandEndsEarly) {
  struct Case {
    const char* what;
    std::wstring path;  // L"" = no file chosen; relative names are made absolute
    const char* content;
    Ops ops;
    Outcome outcome;
    bool readerLeftOpen;
  } cases[] = {
      {"no file",
       L"",
       nullptr,
       {L"get-path", L"box Info 0 Please Open File !"},
       Outcome::kNoFile,
       false},
      {"missing file",
       L"missing.bin",
       nullptr,
       {L"get-path", L"appbox Open File Error!"},
       Outcome::kFileError,
       true},
      {"line error",
       L"bad.bin",
       ";h\n00\n0G\n11\n",
       {L"get-path", L"appbox File 2 Line Error,Please Check!", L"set-path *"},
       Outcome::kLineError,
       false},
      {"bad first line",
       L"bad0.bin",
       "XY\n",
       {L"get-path", L"appbox File 0 Line Error,Please Check!", L"set-path *"},
       Outcome::kLineError,
       false},
      {"utf-8 bom",
       L"bom.bin",
       "\xEF\xBB\xBF;h\n00\n",
       {L"get-path", L"appbox File 0 Line Error,Please Check!", L"set-path *"},
       Outcome::kLineError,
       false},
  };
  for (const auto& c : cases) {
    std::wstring path = c.path;
    if (!path.empty()) {
      const std::string name(c.path.begin(), c.path.end());
      if (c.content) dir_.Write(name, c.content);
      path = std::wstring(dir_.path().begin(), dir_.path().end()) + L"/" + c.path;
    }
    host_.pathField = path;
    dlg_.OnDownload();
    host_.RunWorker();
    Ops ops = host_.Take();
    if (!ops.empty() && ops.back().rfind(L"set-path", 0) == 0) ops.back() = L"set-path *";
    EXPECT_EQ(ops, c.ops) << c.what;
    EXPECT_EQ(dlg_.LastOutcome(), c.outcome) << c.what;
    EXPECT_EQ(dlg_.ReaderHandle() > 0, c.readerLeftOpen) << c.what;
    dlg_.CloseReader();
  }
  // Nothing of a bad file reached the reader.
  EXPECT_TRUE(State()["log"].empty());
  // No thread for the worker: the command ends, and the window may close.
  host_.failStart = true;
  Download("ok.bin", "00\n");
  EXPECT_EQ(dlg_.LastOutcome(), Outcome::kFileError);
  EXPECT_TRUE(dlg_.CanClose());
}

TEST_F(Controller, NoReader) {
  dir_.Write("state.json", "this is not json");
  dir_.Write("x.bin", "00\n");
  host_.pathField = L"/does/not/matter.bin";
  dlg_.OnDownload();
  EXPECT_EQ(host_.Take(),
            (Ops{L"get-path", L"pane Open Device Error!", L"box Info 0 Open Device Error!",
                 L"set-path /does/not/matter.bin"}));
  EXPECT_EQ(dlg_.ReaderHandle(), -2);
  dlg_.OnGetDeviceInfo();
  EXPECT_EQ(host_.Take(),
            (Ops{L"get-path", L"pane Open Device Error!", L"box Info 0 Open Device Error!",
                 L"set-path /does/not/matter.bin"}));
  EXPECT_EQ(dlg_.ReaderHandle(), -2);
  EXPECT_EQ(dlg_.StatusText(), L"");
}

// Each failing step of the worker: its text, buzzer 1, reader closed,
// controls enabled, nothing sent after it.
TEST_F(Controller, FailingWorkerSteps) {
  struct Case {
    int code;
    int nth;
    const char* action;
    const char* content;
    std::wstring appended;
    bool buzzerReaches;
  } cases[] = {
      {0x7C, 1, "status", "00\n", L"Erase Offline File Flash Error! \r\n", true},
      {0x7D, 1, "status", "00\n", L"Loading COMMAND_START Error!\r\n", true},
      {0x7D, 4, "status", ";h\n01\n02\nC-APDU 03 04\n05\n", L"0304Loading Error!\r\n", true},
      {0x7D, 3, "bad_checksum", "01\nRESET\n", L"Loading Error!\r\n", true},
      {0x7D, 4, "no_answer", "01\n02\n", L"Loading COMMAND_END Error!\r\n", true},
      {0x7B, 1, "status", "01\n", L"Set Offline File Name Error!\r\n", true},
      {0x7D, 2, "disconnect", "01\n", L"01Loading Error!\r\n", false},
      {0x8A, 1, "status", ";=F1\n0102\n", L"Erase Vantor File Flash Error! \r\n", true},
  };
  host_.answers = {kIdYes};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.content);
    SetState(
        {{"faults", {{{"code", c.code}, {"nth", c.nth}, {"action", c.action}, {"status", 4}}}}});
    const Ops ops = WorkerOps(Download("f.bin", c.content));
    ASSERT_GE(ops.size(), 10u);
    EXPECT_EQ(Ops(ops.begin(), ops.begin() + 4), kDisable);
    EXPECT_EQ(ops[ops.size() - 5], L"pane " + dlg_.StatusText());
    EXPECT_EQ(dlg_.StatusText().substr(0, kLoading.size()), kLoading);
    EXPECT_EQ(dlg_.StatusText().substr(kLoading.size()), c.appended);
    EXPECT_EQ(Ops(ops.end() - 4, ops.end()), kEnable);
    EXPECT_EQ(dlg_.ReaderHandle(), 0);
    EXPECT_EQ(dlg_.LastOutcome(), Outcome::kReaderStepFailed);
    const std::vector<int> codes = Codes();
    if (c.buzzerReaches) {
      EXPECT_EQ(State()["buzzer"], json::parse("[1]"));
      EXPECT_EQ(codes.back(), 0x79);
      EXPECT_EQ(codes[codes.size() - 2], c.code);  // nothing sent in between
    } else {
      EXPECT_EQ(codes.back(), c.code);
    }
  }
}

TEST_F(Controller, PercentagesFollowKeysOverEntries) {
  std::string content = "; header\n";
  for (int i = 2; i <= 100; ++i) content += "00\n";
  const Ops ops = WorkerOps(Download("p.bin", content));
  std::vector<std::wstring> percents;
  for (const auto& op : ops) {
    if (op.back() == L'%') percents.push_back(op.substr(op.rfind(L'\n') + 1));
  }
  ASSERT_EQ(percents.size(), 99u);  // keys 2..100
  EXPECT_EQ(percents[29 - 2], L"28%");
  EXPECT_EQ(percents[57 - 2], L"56%");
  EXPECT_EQ(percents[58 - 2], L"57%");
  EXPECT_EQ(percents[100 - 2], L"100%");
}

TEST_F(Controller, FileNamesAreSentAndShownAsTheyAre) {
  Download("100%new.bin", "00\n");
  EXPECT_EQ(dlg_.StatusText(), L"100%new.bin\r\n\r\nDownload SUCCESS!\r\n");
  EXPECT_EQ(State()["offline_file_name"],
            ToHex(reinterpret_cast<const std::uint8_t*>("100%new.bin"), 11));

  // A path without a separator is the file name itself.
  dir_.Write("plain.bin", "00\n");
  char cwd[4096];
  ASSERT_TRUE(::getcwd(cwd, sizeof cwd));
  ASSERT_EQ(::chdir(dir_.path().c_str()), 0);
  host_.pathField = L"plain.bin";
  dlg_.OnDownload();
  host_.RunWorker();
  ASSERT_EQ(::chdir(cwd), 0);
  EXPECT_EQ(dlg_.StatusText(), L"plain.bin\r\n\r\nDownload SUCCESS!\r\n");
  host_.Take();

  // A name whose code-page form is longer than 255 bytes is refused before
  // anything is sent (here 200 bytes on disk, 400 in UTF-7, where "+" is "+-").
  ScopedEnv utf7("VANTOR_CODEPAGE", "UTF-7");
  const Ops ops = Download(std::string(196, '+') + ".bin", "00\n");
  EXPECT_EQ(dlg_.LastOutcome(), Outcome::kFileError);
  ASSERT_GE(ops.size(), 2u);
  EXPECT_EQ(ops[1].rfind(L"appbox File Name Too Long", 0), 0u) << ops[1];
  EXPECT_EQ(State()["offline_file_name"],
            ToHex(reinterpret_cast<const std::uint8_t*>("plain.bin"), 9));
}

TEST_F(Controller, DeviceInformation) {
  struct Case {
    json state;
    std::wstring pane;
    Outcome outcome;
  } cases[] = {
      {{{"firmware_version", "V2.05"}, {"offline_file_name", "612E62696E"}},
       L"Firmware Version: V2.05\r\n\r\nOffline File: a.bin\r\n",
       Outcome::kSuccess},
      {{{"firmware_version", ""}},
       L"Firmware Version: \r\n\r\nNo Offline File!\r\n",
       Outcome::kSuccess},
      {{{"firmware_version", "Double doubleDouble 50%s %d"}},
       L"Firmware Version: X XX 50%s %d\r\n\r\nNo Offline File!\r\n",
       Outcome::kSuccess},
      {{{"firmware_version", "A much longer version text"}, {"offline_file_name", "6162"}},
       L"Firmware Version: A much longer version text\r\n\r\nOffline File: ab\r\n",
       Outcome::kSuccess},
      {{{"firmware_version", std::string(200, 'v')}},
       L"Firmware Version: " + std::wstring(128, L'v') + L"\r\n\r\nNo Offline File!\r\n",
       Outcome::kSuccess},
      {{{"faults", {{{"code", 0x89}, {"nth", 1}, {"action", "status"}, {"status", 3}}}}},
       L"Get Device Firmware Version Error!",
       Outcome::kReaderStepFailed},
      {{{"firmware_version", "V1"},
        {"faults", {{{"code", 0x7A}, {"nth", 1}, {"action", "status"}, {"status", 3}}}}},
       L"Firmware Version: V1\r\n\r\nGet Offline File Error!\r\n",
       Outcome::kReaderStepFailed},
  };
  for (const auto& c : cases) {
    SetState(c.state);
    host_.pathField = L"typed by the operator";
    dlg_.OnGetDeviceInfo();
    const Ops ops = host_.Take();
    EXPECT_EQ(host_.pane, c.pane);
    EXPECT_EQ(dlg_.StatusText(), c.pane);
    EXPECT_EQ(dlg_.LastOutcome(), c.outcome);
    EXPECT_EQ(ops.back(), L"set-path typed by the operator");
    EXPECT_EQ(dlg_.ReaderHandle(), 0);
  }
}

// The window keeps a history only where VANTOR_HISTORY says, and sends
// nothing to a reader it cannot account for.
TEST_F(Controller, HistoryWhenNamed) {
  ScopedEnv history("VANTOR_HISTORY", dir_.File("h.jsonl").c_str());
  Download("x.bin", "00\n");
  std::istringstream lines(ReadFile(dir_.File("h.jsonl")));
  std::vector<json> records;
  for (std::string line; std::getline(lines, line);) records.push_back(json::parse(line));
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0]["reader_path"], dir_.File("state.json"));
  EXPECT_EQ(records[1]["result"], "success");
  EXPECT_EQ(records[1]["attempt"], records[0]["attempt"]);

  ScopedEnv unwritable("VANTOR_HISTORY", dir_.File("x.bin/h.jsonl").c_str());
  const std::size_t sent = State()["log"].size();
  const Ops ops = WorkerOps(Download("y.bin", "00\n"));
  ASSERT_GE(ops.size(), 5u);
  EXPECT_EQ(ops[4].rfind(L"box Info 0 cannot write the download history", 0), 0u) << ops[4];
  EXPECT_EQ(State()["log"].size(), sent);
  EXPECT_EQ(dlg_.LastOutcome(), Outcome::kReaderStepFailed);
}

TEST_F(Controller, ChoosingTheFile) {
  host_.pathField = L"typed";
  host_.chosenFile = L"";
  dlg_.OnOpenFile();
  EXPECT_EQ(host_.Take(), (Ops{L"get-path", L"choose-file"}));
  EXPECT_EQ(dlg_.FilePath(), L"typed");
  host_.chosenFile = L"/very/long/path/to/the/chosen/file.bin";
  dlg_.OnOpenFile();
  EXPECT_EQ(host_.Take(), (Ops{L"get-path", L"choose-file",
                               L"set-path /very/long/path/to/the/chosen/file.bin", L"path-end"}));
}

}  // namespace
}  // namespace vantor::test
