// The emulated reader, driven through its real link: raw reports on the
// descriptor OpenLink returns, then the state file CloseLink leaves behind.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "emulator/sim_link.h"
#include "reader/frame.h"
#include "test_util.h"

namespace vantor {
namespace {

using Bytes = std::vector<std::uint8_t>;
using nlohmann::json;
using test::Hex;

struct Response {
  bool ok = false;  // a whole frame arrived
  std::uint8_t slot = 0, code = 0, status = 0;
  Bytes data;
  bool checksumOk = false;
  std::size_t reports = 0;
};

// One emulated reader on a state file (none without stateJson) in a fresh folder.
class Emulator {
 public:
  explicit Emulator(const char* stateJson = nullptr) : path_(dir_.File("reader.json")) {
    if (stateJson) dir_.Write("reader.json", stateJson);
  }
  ~Emulator() {
    bool closed;
    if (fd_ > 0) sim::CloseLink(fd_, &closed);
  }
  const std::string& path() const { return path_; }
  int fd() const { return fd_; }
  int Open() { return fd_ = sim::OpenLink(path_.c_str()); }

  void SendRaw(const Bytes& report) {
    EXPECT_EQ(::send(fd_, report.data(), report.size(), MSG_NOSIGNAL), ssize_t(report.size()));
  }
  void Send(std::uint8_t code, const Bytes& data, std::uint8_t slot = 0, bool badSum = false) {
    Bytes frame(data.size() + 5), report(kReportSize);
    BuildCommandFrame(slot, code, data.data(), data.size(), frame.data());
    if (badSum) frame.back() ^= 0x5A;
    for (std::size_t i = 0; i < ReportCount(frame.size()); ++i) {
      CutReport(frame.data(), frame.size(), i, kOutputReportId, report.data());
      SendRaw(report);
    }
  }

  // One input report; nullopt on time-out, an empty report at the end of the link.
  std::optional<Bytes> ReadReport(int timeoutMs = 3000) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return std::nullopt;
    Bytes report(kReportSize + 1);
    const ssize_t n = ::recv(fd_, report.data(), report.size(), 0);
    report.resize(n > 0 ? std::size_t(n) : 0);
    return report;
  }

  // A whole response frame, however many reports its length field takes.
  Response Read() {
    Bytes frame;
    Response r;
    std::size_t length = 6;
    while (frame.size() < length) {
      auto report = ReadReport();
      if (!report || report->size() != kReportSize || (*report)[0] != kInputReportId) return r;
      ++r.reports;
      frame.insert(frame.end(), report->begin() + 1, report->end());
      length = (frame[4] << 8 | frame[3]) + 6u;
    }
    r = {true, frame[0], frame[1], frame[2], Bytes(&frame[5], &frame[length - 1]),
         XorChecksum(&frame[1], length - 2) == frame[length - 1], r.reports};
    for (std::size_t i = length; i < frame.size(); ++i) EXPECT_EQ(frame[i], 0) << "fill " << i;
    return r;
  }

  Response Exchange(std::uint8_t code, const Bytes& data = {}) {
    Send(code, data);
    const Response r = Read();
    EXPECT_TRUE(r.ok) << "no answer to command " << int(code);
    return r;
  }

  // Closes the link and returns the state file it left.
  json Close() {
    bool closed = false;
    EXPECT_TRUE(sim::CloseLink(fd_, &closed));
    EXPECT_TRUE(closed);
    fd_ = -1;
    return json::parse(test::ReadFile(path_));
  }

 private:
  test::TempDir dir_;
  std::string path_;
  int fd_ = -1;
};

// Every field of expected (a JSON object) has that value in state.
void ExpectFields(const json& state, const std::string& expected) {
  const json fields = json::parse(expected);
  for (const auto& [field, value] : fields.items()) {
    EXPECT_EQ(state[field], value) << field;
  }
}

TEST(Emulator, AnswersEachCommand) {
  struct Case {
    const char *name, *state;
    std::uint8_t code;
    const char* request;
    std::uint8_t status;
    const char* answer;
  };
  const Case cases[] = {
      {"reset gives the ATR", nullptr, 0x62, "01", 0, "3B6800000073C84013009000"},
      {"reset without card", R"({"atr": ""})", 0x62, "01", 0xFE, ""},
      {"power down", nullptr, 0x63, "", 0, ""},
      {"APDU answered from the table", R"({"apdu_responses": {"00a40400": "6A82"}})",
       0x6F, "00A40400", 0, "6A82"},
      {"APDU not in the table", R"({"apdu_responses": {"00A40400": "6A82"}})", 0x6F,
       "00A40401", 0, "9000"},
      {"version with trailer", R"({"firmware_version": "AB", "version_trailer": 4660})",
       0x89, "", 0, "0600 4142 3412"},
      {"default version", nullptr, 0x89, "", 0, "1100 56522D30323035205632 2E3035 0000"},
      {"no offline file name", nullptr, 0x7A, "", 0, ""},
      {"offline file name", R"({"offline_file_name": "612E747874"})", 0x7A, "", 0,
       "612E747874"},
      {"LED without value", nullptr, 0x78, "", 1, ""},
      {"offline record without length", nullptr, 0x7D, "11", 1, ""},
      {"unknown command", nullptr, 0x55, "0102", 2, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Emulator emu(c.state);
    ASSERT_GT(emu.Open(), 0);
    emu.Send(c.code, Hex(c.request), 0x07);
    const auto r = emu.Read();
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.slot, 0x07);
    EXPECT_EQ(r.code, c.code);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.data, Hex(c.answer));
    EXPECT_TRUE(r.checksumOk);
    emu.Close();
  }
}

TEST(Emulator, CommandsChangeTheStateFile) {
  struct Case {
    const char *name, *state;
    std::vector<std::pair<std::uint8_t, const char*>> commands;
    const char* expected;
  };
  const Case cases[] = {
      {"LED and buzzer values in order", R"({"buzzer": [9]})",
       {{0x78, "01"}, {0x79, "02"}, {0x78, "FF"}, {0x78, "0000"}},
       R"({"led": [1, 255, 0], "buzzer": [9, 2]})"},
      {"name set", nullptr, {{0x7B, "4E414D45"}}, R"({"offline_file_name": "4E414D45"})"},
      {"records written, short ones kept", nullptr,
       {{0x7D, "1103AABBCC"}, {0x7D, "0205010203"}, {0x7D, "10000102"}},
       R"({"offline_records": [{"type": 17, "data": "AABBCC"},
           {"type": 2, "data": "010203"}, {"type": 16, "data": ""}]})"},
      {"erase keeps the name",
       R"({"offline_file_name": "41", "offline_records": [{"type": 2, "data": "00"}]})",
       {{0x7C, ""}}, R"({"offline_file_name": "41", "offline_records": []})"},
      {"firmware download", R"({"firmware": {"start": "99", "first": "98", "blocks": ["97"]}})",
       {{0x8A, "0102"}, {0x8B, "AA"}, {0x8C, "B1"}, {0x8C, "B2"}, {0x8D, "CC"}},
       R"({"firmware": {"start": "0102", "first": "AA", "blocks": ["B1", "B2"],
                        "complete": "CC"}})"},
      {"firmware start clears the last download",
       R"({"firmware": {"start": "99", "first": "98", "blocks": ["97"], "complete": "96"}})",
       {{0x8A, ""}}, R"({"firmware": {"start": "", "first": "", "blocks": [], "complete": ""}})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Emulator emu(c.state);
    ASSERT_GT(emu.Open(), 0);
    for (const auto& [code, data] : c.commands) EXPECT_EQ(emu.Exchange(code, Hex(data)).status, 0);
    ExpectFields(emu.Close(), c.expected);
  }
}

TEST(Emulator, LongFramesCrossReports) {
  Bytes apdu(599);
  for (std::size_t i = 0; i < apdu.size(); ++i) apdu[i] = static_cast<std::uint8_t>(i);
  const std::string apduHex = test::ToHex(apdu.data(), apdu.size());
  const std::string state = R"({"apdu_responses": {")" + apduHex + R"(": ")" +
                            std::string(600, 'E') + "\"}}";
  Emulator emu(state.c_str());
  ASSERT_GT(emu.Open(), 0);
  const auto r = emu.Exchange(0x6F, apdu);
  EXPECT_EQ(r.data, Bytes(300, 0xEE));
  EXPECT_EQ(r.reports, 5u);
  EXPECT_EQ(emu.Close()["log"][0]["data"], apduHex);
}

TEST(Emulator, MalformedCommandsGetStatus1AndAreNotCarriedOut) {
  Emulator emu;
  ASSERT_GT(emu.Open(), 0);
  emu.Send(0x78, Hex("01"), 0, /*badSum=*/true);
  EXPECT_EQ(emu.Read().status, 1);
  emu.SendRaw(Hex("03 00 78"));  // shorter than a frame header
  EXPECT_EQ(emu.Read().status, 1);
  emu.SendRaw(Hex("03 00 78 5802"));  // announces 600 data bytes
  EXPECT_EQ(emu.Read().status, 1);
  EXPECT_EQ(emu.Exchange(0x78, Hex("02")).status, 0);  // the link is clean again
  ExpectFields(emu.Close(), R"({"led": [2], "log": [{"code": 120, "slot": 0, "data": "01"},
                                                   {"code": 120, "slot": 0, "data": "02"}]})");
}

TEST(Emulator, FaultsReplaceTheNthFrameOfACode) {
  enum Expect { kStatus7, kBadChecksum, kNothing, kEndOfLink, kOversize };
  const std::tuple<const char*, Expect, const char*> cases[] = {
      // action, what LED 02 (the faulted frame) gets, led after LED 01, 02, 03
      {"status", kStatus7, "[1, 3]"},        {"bad_checksum", kBadChecksum, "[1, 2, 3]"},
      {"no_answer", kNothing, "[1, 3]"},     {"disconnect", kEndOfLink, "[1]"},
      {"oversize", kOversize, "[1, 3]"},
  };
  for (const auto& [action, expect, led] : cases) {
    SCOPED_TRACE(action);
    // A fault on another code and a later frame must not interfere.
    const std::string faults = std::string(R"({"faults": [{"code": 121, "nth": 2, "action":
        "status", "status": 9}, {"code": 120, "nth": 2, "action": ")") + action +
                               R"(", "status": 7}]})";
    Emulator emu(faults.c_str());
    ASSERT_GT(emu.Open(), 0);
    EXPECT_EQ(emu.Exchange(0x78, Hex("01")).status, 0);
    emu.Send(0x78, Hex("02"));
    if (expect == kStatus7 || expect == kBadChecksum) {
      const auto r = emu.Read();
      EXPECT_EQ(r.status, expect == kStatus7 ? 7 : 0);
      EXPECT_TRUE(r.data.empty());
      EXPECT_EQ(r.checksumOk, expect == kStatus7);
    } else if (expect == kNothing) {
      EXPECT_FALSE(emu.ReadReport(200));
    } else if (expect == kEndOfLink) {
      EXPECT_EQ(emu.ReadReport()->size(), 0u);
      EXPECT_EQ(::send(emu.fd(), "\3", 1, MSG_NOSIGNAL), -1);
      EXPECT_EQ(errno, EPIPE);
    } else {
      const auto first = emu.ReadReport();
      ASSERT_TRUE(first);
      EXPECT_EQ((*first)[3], 0);
      EXPECT_EQ((*first)[4] | (*first)[5] << 8, 600);
      for (int i = 1; i < 10; ++i) ASSERT_TRUE(emu.ReadReport()) << i;
      EXPECT_FALSE(emu.ReadReport(100));
    }
    if (expect != kEndOfLink) {
      EXPECT_TRUE(emu.Exchange(0x78, Hex("03")).checksumOk);
    }
    const json state = emu.Close();
    EXPECT_EQ(state["led"], json::parse(led));
    EXPECT_EQ(state["log"].size(), expect == kEndOfLink ? 2u : 3u);
  }
}

TEST(Emulator, MissingFileIsAFreshReaderAndIsCreated) {
  Emulator emu;
  ASSERT_GT(emu.Open(), 0);
  ExpectFields(emu.Close(), R"({"firmware_version": "VR-0205 V2.05", "version_trailer": 0,
      "atr": "3B6800000073C84013009000", "offline_file_name": "", "link_ms_per_report": 0,
      "offline_records": [], "buzzer": [], "led": [], "log": [], "faults": []})");
  const auto folder = std::filesystem::path(emu.path()).parent_path();
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 1);  // no temp file
}

TEST(Emulator, InvalidStateFileIsRefusedAndKept) {
  const char* files[] = {
      "{\"led\": [1,", "", "[1, 2]", R"({"led": "01"})", R"({"buzzer": [256]})",
      R"({"version_trailer": 65536})", R"({"atr": "3B6"})", R"({"atr": "3B 68"})",
      R"({"apdu_responses": {"00A4": 9000}})", R"({"offline_records": [{"type": 2}]})",
      R"({"faults": [{"code": 120, "nth": 1, "action": "explode"}]})",
      R"({"faults": [{"code": 120, "nth": 0, "action": "no_answer"}]})",
      R"({"faults": [{"code": 120, "nth": 1, "action": "status"}]})",
  };
  for (const char* text : files) {
    SCOPED_TRACE(text);
    Emulator emu(text);
    testing::internal::CaptureStderr();
    EXPECT_EQ(emu.Open(), -1);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(emu.path()), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_EQ(test::ReadFile(emu.path()), text);
  }
}

TEST(Emulator, UnknownFieldsAndUntouchedFieldsSurvive) {
  Emulator emu(R"({"owner": {"desk": [1, "two"]}, "apdu_responses": {"00b0": "01"},
                  "led": [5], "log": [{"code": 1, "slot": 2, "data": "", "note": "x"}]})");
  ASSERT_GT(emu.Open(), 0);
  emu.Exchange(0x78, Hex("06"));
  ExpectFields(emu.Close(), R"({"owner": {"desk": [1, "two"]}, "apdu_responses": {"00b0": "01"},
      "led": [5, 6], "log": [{"code": 1, "slot": 2, "data": "", "note": "x"},
                             {"code": 120, "slot": 0, "data": "06"}]})");
}

TEST(Emulator, LinksAreIndependentAndCloseOnlyTheirOwn) {
  Emulator a, b;
  ASSERT_GT(a.Open(), 0);
  ASSERT_GT(b.Open(), 0);
  a.Exchange(0x78, Hex("0A"));
  b.Exchange(0x79, Hex("0B"));
  bool closed = true;
  EXPECT_FALSE(sim::CloseLink(a.fd() + b.fd() + 100, &closed));
  EXPECT_TRUE(closed);  // untouched
  ExpectFields(a.Close(), R"({"led": [10], "buzzer": []})");
  ExpectFields(b.Close(), R"({"led": [], "buzzer": [11]})");
}

TEST(Emulator, StateThatCannotBeWrittenFailsTheClose) {
  test::TempDir dir;
  const std::string folder = dir.File("gone"), path = folder + "/reader.json";
  std::filesystem::create_directory(folder);
  const int fd = sim::OpenLink(path.c_str());
  ASSERT_GT(fd, 0);
  std::filesystem::remove(folder);
  bool closed = true;
  testing::internal::CaptureStderr();
  EXPECT_TRUE(sim::CloseLink(fd, &closed));
  EXPECT_NE(testing::internal::GetCapturedStderr().find(path), std::string::npos);
  EXPECT_FALSE(closed);
}

TEST(Emulator, DelaysEachReport) {
  Emulator emu(R"({"link_ms_per_report": 30})");
  ASSERT_GT(emu.Open(), 0);
  const auto start = std::chrono::steady_clock::now();
  emu.Exchange(0x63);  // one report each way
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(60));
  emu.Close();
}

}  // namespace
}  // namespace vantor
