// The window's logic driven through the scripted host against the emulated
// reader: exact texts, the order of window operations, what reaches the
// reader and what is left behind.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "history/sha256.h"
#include "scripted_host.h"
#include "test_util.h"
#include "ui/VantorToolDlg.h"

namespace vantor::test {
namespace {

using Ops = std::vector<std::wstring>;
using nlohmann::json;

const std::wstring kLoading = L"Loading...\r\n", kPaneLoading = L"pane " + kLoading;
const std::wstring kSuccess = L"\r\n\r\nDownload SUCCESS!\r\n";
const Ops kDisable = {L"disable 1001", L"disable 1000", L"disable 1002", L"disable 1003"};
const Ops kEnable = {L"enable 1001", L"enable 1000", L"enable 1002", L"enable 1003"};

Ops Join(std::initializer_list<Ops> parts) {
  Ops all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

// A reader state whose answer to the nth frame of command code fails.
json Fault(int code, int nth, const char* action = "status", int status = 4, json state = {}) {
  state["faults"] = {{{"code", code}, {"nth", nth}, {"action", action}, {"status", status}}};
  return state;
}

class Controller : public ::testing::Test {
 protected:
  Controller() : dlg_(host_) {
    dlg_.OnInitDialog();
    host_.Take();
  }
  ~Controller() override { dlg_.CloseReader(); }

  // Writes the reader's state before it is next opened.
  void SetState(const json& state) { dir_.Write("state.json", state.dump()); }
  json State() const { return json::parse(ReadFile(dir_.File("state.json"))); }
  // Command codes of every frame the reader received.
  std::vector<int> Codes() const {
    std::vector<int> codes;
    for (const auto& entry : State().value("log", json::array())) codes.push_back(entry["code"]);
    return codes;
  }
  std::wstring PathOf(const std::string& name) const {
    const std::string path = dir_.File(name);
    return std::wstring(path.begin(), path.end());
  }

  // Runs the Download command on name ("" = none chosen), written with
  // content unless that is null, and the worker to its end.
  Ops Download(const std::string& name, const char* content) {
    if (content) dir_.Write(name, content);
    host_.pathField = name.empty() ? L"" : PathOf(name);
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

// Files the worker takes to their end: its panes after the first "Loading...",
// the commands the reader received (none: nothing was sent).
TEST_F(Controller, DownloadsRunToTheEnd) {
  struct Case {
    const char *name, *content;
    Ops panes;
    std::vector<int> codes;
  } cases[] = {
      {"e.bin", ";x=E0\n00 11\n", {}, {}},
      {"h.bin", "; header\n", {L"pane h.bin" + kSuccess}, {0x7C, 0x7D, 0x7D, 0x7B, 0x79}},
      {"x.bin",
       "; offline data\r\n00 a4 04 00\r\n\r\n \t \r\nreset\r\nC-APDU 00 B0\r\n",
       {kPaneLoading + L"50%", kPaneLoading + L"75%", kPaneLoading + L"100%",
        L"pane x.bin" + kSuccess},
       {0x7C, 0x7D, 0x7D, 0x7D, 0x7D, 0x7D, 0x7B, 0x79}},
  };
  for (const auto& c : cases) {
    SetState(json::object());
    const Ops ops = Download(c.name, c.content);
    ASSERT_GE(ops.size(), 2u) << c.name;
    EXPECT_EQ(Ops(ops.begin(), ops.begin() + 2), (Ops{L"get-path", L"start-worker"}));
    EXPECT_EQ(WorkerOps(ops), Join({kDisable, {kPaneLoading}, c.panes, kEnable})) << c.name;
    EXPECT_EQ(Codes(), c.codes) << c.name;
    EXPECT_EQ(dlg_.LastOutcome(), c.codes.empty() ? Outcome::kNothingSent : Outcome::kSuccess);
  }
  EXPECT_EQ(State()["buzzer"], json::parse("[0]"));  // the success tone, once
  EXPECT_EQ(State()["offline_records"],              // of the script, the last row
            json::parse(R"([{"type":2,"data":""},{"type":17,"data":"00A40400"},
                            {"type":16,"data":""},{"type":17,"data":"00B0"},{"type":3,"data":""}])"));
}

TEST_F(Controller, FirmwareImageSucceedsAfterYes) {
  SetState(Fault(0x8B, 1));  // a failing first-block command does not stop the download
  host_.answers = {kIdYes};
  const Ops ops = Download("fw.bin", ";FW=F1 ProductType=22 ProductNum=33\n0102\n03 04\n");
  EXPECT_EQ(ops[1], L"box Info 4 This file is Update the Device Firmware, \n please confirm!");
  EXPECT_EQ(WorkerOps(ops), Join({kDisable,
                                  {kPaneLoading, kPaneLoading + L"66%", kPaneLoading + L"100%",
                                   L"pane fw.bin" + kSuccess},
                                  kEnable}));
  EXPECT_EQ(State()["firmware"]["start"], "F12233");
  EXPECT_EQ(State()["firmware"]["blocks"], json::parse(R"(["0102","0304"])"));
}

TEST_F(Controller, FirmwareDeclinedLeavesTableAndReader) {
  Download("a.bin", "00\n11\n");
  host_.answers = {kIdNo};
  EXPECT_EQ(Download("fw.bin", ";=F1 ProductType=22 ProductNum=33\n0102\n"),
            (Ops{L"get-path",
                 L"box Info 4 This file is Update the Device Firmware, \n please confirm!"}));
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

TEST_F(Controller, CommandEndsEarly) {
  const auto lineError = [](const std::wstring& number) {
    return Ops{L"get-path", L"appbox File " + number + L" Line Error,Please Check!", L"set-path *"};
  };
  struct Case {
    const char* name;     // "" = no file chosen
    const char* content;  // nullptr = no such file
    Ops ops;
    Outcome outcome;
  } cases[] = {
      {"", nullptr, {L"get-path", L"box Info 0 Please Open File !"}, Outcome::kNoFile},
      {"no.bin", nullptr, {L"get-path", L"appbox Open File Error!"}, Outcome::kFileError},
      {"bad.bin", ";h\n00\n0G\n11\n", lineError(L"2"), Outcome::kLineError},
      {"bom.bin", "\xEF\xBB\xBF;h\n00\n", lineError(L"0"), Outcome::kLineError},
  };
  for (const auto& c : cases) {
    Ops ops = Download(c.name, c.content);
    if (!ops.empty() && ops.back().rfind(L"set-path", 0) == 0) ops.back() = L"set-path *";
    EXPECT_EQ(ops, c.ops) << c.name;
    EXPECT_EQ(dlg_.LastOutcome(), c.outcome) << c.name;
    // Only a file that does not open leaves the reader open.
    EXPECT_EQ(dlg_.ReaderHandle() > 0, c.outcome == Outcome::kFileError) << c.name;
    dlg_.CloseReader();
  }
  EXPECT_TRUE(State()["log"].empty());  // nothing of a bad file reached the reader
  // No thread for the worker: the command ends, and the window may close.
  host_.failStart = true;
  Download("ok.bin", "00\n");
  EXPECT_EQ(dlg_.LastOutcome(), Outcome::kFileError);
  EXPECT_TRUE(dlg_.CanClose());
}

TEST_F(Controller, NoReader) {
  dir_.Write("state.json", "this is not json");
  host_.pathField = L"/does/not/matter.bin";
  for (auto command : {&CVantorToolDlg::OnDownload, &CVantorToolDlg::OnGetDeviceInfo}) {
    (dlg_.*command)();
    EXPECT_EQ(host_.Take(),
              (Ops{L"get-path", L"pane Open Device Error!", L"box Info 0 Open Device Error!",
                   L"set-path /does/not/matter.bin"}));
    EXPECT_EQ(dlg_.ReaderHandle(), -2);
  }
  // The reader goes between the Download command and its worker, which waits
  // for its first window operation.
  SetState(json::object());
  dir_.Write("x.bin", "00\n");
  host_.pathField = PathOf("x.bin");
  dlg_.OnDownload();
  dir_.Write("state.json", "not a reader");
  host_.RunWorker();
  EXPECT_EQ(
      WorkerOps(host_.Take()),
      Join({kDisable, {L"pane Open Device Error!", L"box Info 0 Open Device Error!"}, kEnable}));
  EXPECT_EQ(dlg_.ReaderHandle(), -2);
  EXPECT_EQ(dlg_.LastOutcome(), Outcome::kNoReader);
}

// A failing step: its text in the pane, the controls back, the reader closed.
TEST_F(Controller, FailingWorkerStep) {
  SetState(Fault(0x7D, 4));
  const Ops ops = WorkerOps(Download("f.bin", ";h\n01\n02\nC-APDU 03 04\n05\n"));
  ASSERT_GE(ops.size(), 10u);
  EXPECT_EQ(Ops(ops.begin(), ops.begin() + 4), kDisable);
  EXPECT_EQ(ops[ops.size() - 5], kPaneLoading + L"0304Loading Error!\r\n");
  EXPECT_EQ(Ops(ops.end() - 4, ops.end()), kEnable);
  EXPECT_EQ(dlg_.ReaderHandle(), 0);
  EXPECT_EQ(dlg_.LastOutcome(), Outcome::kReaderStepFailed);
}

TEST_F(Controller, PercentagesFollowKeysOverEntries) {
  std::string content = "; header\n";
  for (int i = 2; i <= 100; ++i) content += "00\n";
  std::vector<std::wstring> percents;
  for (const auto& op : WorkerOps(Download("p.bin", content.c_str()))) {
    if (op.back() == L'%') percents.push_back(op.substr(op.rfind(L'\n') + 1));
  }
  ASSERT_EQ(percents.size(), 99u);  // keys 2..100
  EXPECT_EQ(percents[29 - 2], L"28%");
  EXPECT_EQ(percents[100 - 2], L"100%");
}

TEST_F(Controller, FileNamesAreSentAndShownAsTheyAre) {
  Download("100%new.bin", "00\n");
  EXPECT_EQ(dlg_.StatusText(), L"100%new.bin" + kSuccess);
  EXPECT_EQ(State()["offline_file_name"], "313030256E65772E62696E");  // 100%new.bin
  // A name whose code-page form is longer than 255 bytes is refused before
  // anything is sent (200 bytes on disk, 400 in UTF-7).
  ScopedEnv utf7("VANTOR_CODEPAGE", "UTF-7");
  const Ops ops = Download(std::string(196, '+') + ".bin", "00\n");
  EXPECT_EQ(dlg_.LastOutcome(), Outcome::kFileError);
  ASSERT_GE(ops.size(), 2u);
  EXPECT_EQ(ops[1].rfind(L"appbox File Name Too Long", 0), 0u) << ops[1];
}

TEST_F(Controller, DeviceInformation) {
  const std::wstring version = L"Firmware Version: ", noFile = L"\r\n\r\nNo Offline File!\r\n";
  const struct {
    json state;
    std::wstring pane;  // a step that fails ends it with "Error!"
  } cases[] = {
      {{{"firmware_version", "Double doubleDouble 50%s %d"}}, version + L"X XX 50%s %d" + noFile},
      // A name shorter than the version before it in the same buffer.
      {{{"firmware_version", "A much longer version text"}, {"offline_file_name", "6162"}},
       version + L"A much longer version text\r\n\r\nOffline File: ab\r\n"},
      {{{"firmware_version", std::string(200, 'v')}}, version + std::wstring(128, L'v') + noFile},
      {Fault(0x89, 1, "status", 3), L"Get Device Firmware Version Error!"},
      {Fault(0x7A, 1, "status", 3, {{"firmware_version", "V1"}}),
       version + L"V1\r\n\r\nGet Offline File Error!\r\n"},
  };
  host_.pathField = L"typed by the operator";
  for (const auto& c : cases) {
    SetState(c.state);
    dlg_.OnGetDeviceInfo();
    const Ops ops = host_.Take();
    ASSERT_GE(ops.size(), 3u);
    EXPECT_EQ(ops[ops.size() - 2], L"pane " + c.pane);
    EXPECT_EQ(ops.back(), L"set-path typed by the operator");
    const bool failed = c.pane.find(L"Error!") != std::wstring::npos;
    EXPECT_EQ(dlg_.LastOutcome(), failed ? Outcome::kReaderStepFailed : Outcome::kSuccess);
    EXPECT_EQ(dlg_.ReaderHandle(), 0);
  }
}

// The window keeps a history only where VANTOR_HISTORY says, and sends
// nothing to a reader it cannot account for.
TEST_F(Controller, HistoryWhenNamed) {
  ScopedEnv history("VANTOR_HISTORY", dir_.File("h.jsonl").c_str());
  // The file changes while the firmware question waits: the record is of
  // the bytes loaded and sent, read once, not of what the path names later.
  std::string image = ";=F1 ProductType=02 ProductNum=05\n";
  for (int i = 0; i < 60; ++i) image += "0102030405\n";
  history::Sha256 loaded;
  loaded.Update(image.data(), image.size());
  const std::string sha256 = loaded.Final();
  for (const bool rename : {true, false}) {
    std::filesystem::remove(dir_.File("h.jsonl"));
    SetState(json::object());
    host_.answers = {kIdYes};
    host_.whileAsked = [&] {
      dir_.Write(rename ? "new.bin" : "fw.bin", ";=F1 ProductType=02 ProductNum=05\n0A0B\n");
      if (rename) std::filesystem::rename(dir_.File("new.bin"), dir_.File("fw.bin"));
    };
    Download("fw.bin", image.c_str());
    host_.whileAsked = nullptr;
    const std::string written = ReadFile(dir_.File("h.jsonl"));
    const json started = json::parse(written.substr(0, written.find('\n')));
    EXPECT_EQ(started["file_size"], image.size()) << rename;
    EXPECT_EQ(started["sha256"], sha256) << rename;
    EXPECT_EQ(started["lines"], 61) << rename;
    EXPECT_EQ(State()["firmware"].dump().find("0A0B"), std::string::npos) << rename;
  }

  ScopedEnv unwritable("VANTOR_HISTORY", dir_.File("fw.bin/h.jsonl").c_str());
  const Ops ops = WorkerOps(Download("y.bin", "00\n"));
  ASSERT_GE(ops.size(), 5u);
  EXPECT_EQ(ops[4].rfind(L"box Info 0 cannot write the download history", 0), 0u) << ops[4];
  EXPECT_EQ(dlg_.LastOutcome(), Outcome::kReaderStepFailed);
}

// (A cancelled dialog is the Qt window's test.)
TEST_F(Controller, ChoosingTheFile) {
  host_.chosenFile = L"/very/long/path/to/the/chosen/file.bin";
  dlg_.OnOpenFile();
  EXPECT_EQ(host_.Take(), (Ops{L"get-path", L"choose-file",
                               L"set-path /very/long/path/to/the/chosen/file.bin", L"path-end"}));
}

}  // namespace
}  // namespace vantor::test
