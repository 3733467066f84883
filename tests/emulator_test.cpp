// The emulated reader through its real link: what the host tests cannot
// reach (oversize answers, fault counting) and the state file's edges.
#include <sys/socket.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <iterator>
#include <string>
#include <tuple>
#include <utility>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "emulator/sim_link.h"
#include "emulator/sim_state.h"
#include "reader/readers.h"
#include "test_util.h"
#include "vantor/reader.h"

namespace vantor {
namespace {

using nlohmann::json;

// One emulated reader on reader.json in a fresh folder (kFifo: a FIFO; linked: a
// link to a read-only t.json), driven through the library; fd -1 when refused.
constexpr const char* kFifo = "(a FIFO)";

struct Emulator {
  explicit Emulator(const char* stateJson, bool linked = false) {
    if (stateJson == kFifo) ::mkfifo(path.c_str(), 0600);
    if (stateJson && stateJson != kFifo) dir.Write(linked ? "t.json" : "reader.json", stateJson);
    if (linked) {
      std::filesystem::permissions(dir.File("t.json"), std::filesystem::perms(0444));
      std::filesystem::create_symlink("t.json", path);
    }
    fd = OpenEmulatedReader(path);
  }
  ~Emulator() { DllCloseReader(fd); }
  // LED (0x78) or buzzer (0x79); a damaged frame (bad checksum) bypasses the library.
  int Command(std::uint8_t code, std::uint8_t value, bool damaged = false) {
    if (!damaged) return code == 0x78 ? DllLedControl(fd, value) : DllSpeakerControl(fd, value);
    test::Report report = test::Reports(test::Frame({0, code, 1, 0}, {value}), 3)[0];
    report[6] ^= 0x5A;
    EXPECT_EQ(::send(fd, report.data(), report.size(), MSG_NOSIGNAL), 64);
    std::uint8_t answer[VANTOR_MAX_RESPONSE_DATA];
    int length = 0;
    return SKRevData(fd, 0, code, answer, &length) == 1 ? VANTOR_OK : VANTOR_ERR_CHECKSUM;
  }
  json Close() {
    EXPECT_EQ(DllCloseReader(std::exchange(fd, -1)), VANTOR_OK);
    return json::parse(test::ReadFile(path));
  }

  test::TempDir dir;
  std::string path = dir.File("reader.json");
  int fd = -1;
};

// A damaged frame is refused (-14) and not counted; the oversize answer (-31)
// is dropped whole, so the exchanges after it work. Status 9 is -21, 7 is -30.
TEST(Emulator, FaultsCountFramesPerCodeAndOversizeLeavesTheLinkClean) {
  test::ScopedEnv timeout("VANTOR_READ_TIMEOUT_MS", "500");
  const std::tuple<std::uint8_t, std::uint8_t, bool, int> steps[] = {
      // code value damaged result
      {0x78, 1, false, 0}, {0x79, 1, false, 0},   {0x78, 9, true, -14},  {0x78, 2, false, -31},
      {0x78, 3, false, 0}, {0x79, 2, false, -21}, {0x78, 4, false, -30}, {0x78, 5, false, 0}};
  Emulator emu(R"({"faults": [{"code": 121, "nth": 2, "action": "status", "status": 9},
      {"code": 120, "nth": 2, "action": "oversize"},
      {"code": 120, "nth": 4, "action": "status", "status": 7}]})");
  for (const auto& [code, value, damaged, result] : steps) {
    EXPECT_EQ(emu.Command(code, value, damaged), result);
  }
  const json state = emu.Close();
  EXPECT_EQ(state["led"].dump(), "[1,3,5]");
  EXPECT_EQ(state["buzzer"].dump(), "[1]");
  EXPECT_EQ(state["log"].size(), 8u);
}

// Accepted: after n LED frames, the emulator's fields updated and the others as
// read; the log keeps the newest log_limit entries and counts those let go.
// Refused: the reason in the error text, nothing printed, the file untouched.
TEST(Emulator, StateFile) {
  // The version answer carries the text and four bytes in one frame of at most 0xFFFF.
  const std::string version = R"({"firmware_version": ")" + std::string(0xFFFF - 4, 'v') + "\"}",
                    tooLong = R"({"firmware_version": "v)" + version.substr(22);
  // USB gives a serial 126 UTF-16 units; a character beyond U+FFFF takes two.
  std::string serial = R"({"serial": "x)";
  for (int i = 0; i < 63; ++i) serial += "\U0001D11E";
  serial += "\"}";
  const struct {
    const char* before;
    int n;
    const char* after;
    bool linked = false;  // written through the link, keeping the target's mode
  } accepted[] = {
      {nullptr, 3, R"({"firmware_version": "VR-0205 V2.05", "led": [0, 1, 2], "log_dropped": 0,
                      "log_limit": 100000})"},
      {R"({"owner": {"desk": [1, "two"]}, "apdu_responses": {"00b0": "01"},
           "log": [{"code": 1, "slot": 2, "data": "", "note": "x"}]})",
       1,
       R"({"owner": {"desk": [1, "two"]}, "apdu_responses": {"00b0": "01"}, "led": [0],
           "log": [{"code": 1, "slot": 2, "data": "", "note": "x"},
                   {"code": 120, "slot": 0, "data": "00"}]})"},
      {R"({"offline_file_name": "00a4Ff", "x": [[[[[[["]]\"[{"]]]]]]], "led": [9]})", 1,
       R"({"offline_file_name": "00A4FF", "x": [[[[[[["]]\"[{"]]]]]]], "led": [9, 0]})", true},
      {R"({"log_limit": 0, "log_dropped": 4})", 2, R"({"log": [], "log_dropped": 6})"},
      {R"({"log_limit": 3, "log_dropped": 1, "log": [{"code": 1, "slot": 0, "data": "AA"},
           {"code": 1, "slot": 0, "data": "BB"}]})",
       2,
       R"({"log": [{"code": 1, "slot": 0, "data": "BB"}, {"code": 120, "slot": 0, "data": "00"},
                   {"code": 120, "slot": 0, "data": "01"}], "log_dropped": 2})"},
      {version.c_str(), 0, version.c_str()},
  };
  for (const auto& c : accepted) {
    SCOPED_TRACE(std::string(c.before ? c.before : "no file").substr(0, 80));
    Emulator emu(c.before, c.linked);
    ASSERT_GT(emu.fd, 0);
    for (int i = 0; i < c.n; ++i) EXPECT_EQ(emu.Command(0x78, std::uint8_t(i)), VANTOR_OK);
    EXPECT_EQ(sim::InUse(emu.dir.File("t.json").c_str()), c.linked);
    const json state = emu.Close(), expected = json::parse(c.after);
    for (const auto& [field, value] : expected.items()) EXPECT_EQ(state[field], value) << field;
    namespace fs = std::filesystem;
    EXPECT_EQ(std::distance(fs::directory_iterator(emu.dir.path()), {}), c.linked ? 2 : 1);
    EXPECT_TRUE(!c.linked || (fs::is_symlink(emu.path) &&
                              fs::status(emu.path).permissions() == fs::perms(0444)));
  }

  const std::pair<const char*, const char*> refused[] = {
      {"{\"led\": [1,", "is not valid JSON (error at byte 12)"},
      {"[1, 2]", "must hold a JSON object"},
      {R"({"buzzer": [256]})", R"(field "buzzer" must be an integer 0..255)"},
      {R"({"atr": "3B 68"})", R"(field "atr" must be a hex string without blanks)"},
      {R"({"atr": "3B6"})", R"(field "atr" must be a hex string without blanks)"},
      {R"({"led": [1E999]})",
       "is not valid JSON ([json.exception.out_of_range.406] number overflow parsing '1E999')"},
      {R"({"faults": [{"code": 120, "nth": 1, "action": "status"}]})",
       R"(field "faults[0]" needs status)"},
      {R"({"faults": [{"code": 256, "nth": 1, "action": "no_answer"}]})",
       R"(field "faults[0].code" must be an integer 0..255)"},
      {R"({"x": [[[[[[[[]]]]]]]]})", "nests objects and arrays deeper than 8 levels"},
      {kFifo, "is a FIFO, not a regular file"},
      {tooLong.c_str(), R"(field "firmware_version" is too long)"},
      {serial.c_str(), R"(field "serial" is longer than 126 UTF-16 units)"},
  };
  for (const auto& [before, reason] : refused) {
    SCOPED_TRACE(std::string(before).substr(0, 80));
    testing::internal::CaptureStderr();
    Emulator emu(before);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(emu.fd, -1);
    char text[512] = "";
    EXPECT_GT(DllGetErrorText(text, sizeof text), 0);
    EXPECT_EQ(text, "state file " + emu.path + ": " + reason);
    EXPECT_EQ(before == kFifo ? kFifo : test::ReadFile(emu.path), before);
  }
}

// The state file's text, byte for byte: the fields given first, as given;
// then those the emulator keeps, two spaces deep (as nlohmann's dump(2));
// the log cut to its limit.
TEST(Emulator, StateTextKeepsItsForm) {
  sim::SimState state =
      sim::ParseState(R"({"serial": "S1", "led": [1], "x": {"y": true}, "log_limit": 1})");
  state.offlineRecords.push_back({0x20, {0xAB}});
  sim::AppendLog(state, {{"code", 120}, {"slot", 0}, {"data", "01"}});
  sim::AppendLog(state, {{"code", 121}, {"slot", 0}, {"data", "02"}});
  const auto text = nlohmann::ordered_json::parse(
      R"({"serial": "S1", "led": [1], "x": {"y": true}, "log_limit": 1,
          "firmware_version": "VR-0205 V2.05", "version_trailer": 0,
          "atr": "3B6800000073C84013009000", "apdu_responses": {}, "offline_file_name": "",
          "offline_records": [{"type": 32, "data": "AB"}],
          "firmware": {"start": "", "first": "", "blocks": [], "complete": ""}, "buzzer": [],
          "faults": [], "link_ms_per_report": 0,
          "log": [{"code": 121, "slot": 0, "data": "02"}], "log_dropped": 1})");
  EXPECT_EQ(sim::StateText(state), text.dump(2) + "\n");
}

// A close cuts the link's pacing short: the frame still on its way is lost.
TEST(Emulator, CloseDoesNotWaitOutThePacing) {
  Emulator emu(R"({"link_ms_per_report": 2000})");
  std::uint8_t one = 1;
  EXPECT_EQ(SKSendData(emu.fd, 0, 0x78, &one, 1), 1);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(emu.Close()["led"], json::array());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
}

}  // namespace
}  // namespace vantor
