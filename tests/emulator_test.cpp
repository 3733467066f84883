// The emulated reader through its real link: what the host tests cannot
// reach (oversize answers, fault counting) and the state file's edges.
#include <poll.h>
#include <sys/socket.h>

#include <cstdint>
#include <filesystem>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "emulator/sim_link.h"
#include "protocol/frame.h"
#include "reader/readers.h"
#include "test_util.h"
#include "vantor/reader.h"

namespace vantor {
namespace {

using Bytes = std::vector<std::uint8_t>;
using nlohmann::json;

// One emulated reader on a state file in a fresh folder; fd is -1 when refused.
struct Emulator {
  explicit Emulator(const char* stateJson) {
    if (stateJson) dir.Write("reader.json", stateJson);
    fd = sim::OpenLink(path.c_str());
  }
  ~Emulator() {
    bool closed;
    if (fd > 0) sim::CloseLink(fd, &closed);
  }
  void Send(std::uint8_t code, std::uint8_t value, bool badSum = false) {
    std::uint8_t frame[6], report[kReportSize];
    BuildCommandFrame(0, code, &value, 1, frame);
    frame[5] ^= badSum ? 0x5A : 0;
    CutReport(frame, sizeof frame, 0, kOutputReportId, report);
    EXPECT_EQ(::send(fd, report, sizeof report, MSG_NOSIGNAL), ssize_t(sizeof report));
  }
  // One input report, empty when none comes in time or the link has ended.
  Bytes ReadReport() {
    pollfd p{fd, POLLIN, 0};
    Bytes r(kReportSize + 1);
    const ssize_t n = ::poll(&p, 1, 3000) > 0 ? ::recv(fd, r.data(), r.size(), 0) : 0;
    r.resize(n > 0 ? std::size_t(n) : 0);
    return r;
  }
  // Status of an answer without data in one well-formed report, else -1.
  int ReadStatus() {
    const Bytes r = ReadReport();
    const bool ok = r.size() == kReportSize && r[0] == kInputReportId && !r[4] && !r[5] &&
                    XorChecksum(&r[2], 4) == r[6];
    return ok ? r[3] : -1;
  }
  json Close() {
    bool closed = false;
    EXPECT_TRUE(sim::CloseLink(std::exchange(fd, -1), &closed) && closed);
    return json::parse(test::ReadFile(path));
  }

  test::TempDir dir;
  std::string path = dir.File("reader.json");
  int fd = -1;
};

TEST(Emulator, FaultsCountFramesPerCodeAndOversizeLeavesTheLinkClean) {
  struct Step {
    std::uint8_t code, value;
    bool badSum;
    int status;
  };  // status -2: oversize
  const Step steps[] = {{0x78, 1, false, 0},  {0x79, 1, false, 0},
                        {0x78, 9, true, 1},  // damaged: refused and not counted
                        {0x78, 2, false, -2}, {0x78, 3, false, 0},
                        {0x79, 2, false, 9},  {0x78, 4, false, 7},
                        {0x78, 5, false, 0}};
  Emulator emu(R"({"faults": [{"code": 121, "nth": 2, "action": "status", "status": 9},
      {"code": 120, "nth": 2, "action": "oversize"},
      {"code": 120, "nth": 4, "action": "status", "status": 7}]})");
  for (const auto& s : steps) {
    emu.Send(s.code, s.value, s.badSum);
    if (s.status != -2) {
      EXPECT_EQ(emu.ReadStatus(), s.status) << int(s.value);
      continue;
    }
    const Bytes first = emu.ReadReport();
    ASSERT_EQ(first.size(), kReportSize);
    EXPECT_EQ(first[4] | first[5] << 8, 600);
    // Nine more reports; anything beyond shows in the next exchanges.
    for (int i = 1; i < 10; ++i) EXPECT_EQ(emu.ReadReport().size(), kReportSize) << i;
  }
  const json state = emu.Close();
  EXPECT_EQ(state["led"], json::parse("[1, 3, 5]"));
  EXPECT_EQ(state["buzzer"], json::parse("[1]"));
  EXPECT_EQ(state["log"].size(), 8u);
}

// Missing: a fresh reader. Fields the emulator does not own: written back as
// read. Invalid (no result): refused, named and left as it was.
TEST(Emulator, StateFile) {
  const std::pair<const char*, const char*> cases[] = {
      {nullptr, R"({"firmware_version": "VR-0205 V2.05", "led": [6]})"},
      {R"({"owner": {"desk": [1, "two"]}, "apdu_responses": {"00b0": "01"},
           "log": [{"code": 1, "slot": 2, "data": "", "note": "x"}]})",
       R"({"owner": {"desk": [1, "two"]}, "apdu_responses": {"00b0": "01"}, "led": [6],
           "log": [{"code": 1, "slot": 2, "data": "", "note": "x"},
                   {"code": 120, "slot": 0, "data": "06"}]})"},
      {"{\"led\": [1,", nullptr},
      {"[1, 2]", nullptr},
      {R"({"buzzer": [256]})", nullptr},
      {R"({"atr": "3B 68"})", nullptr},
      {R"({"led": [1E999]})", nullptr},
      {R"({"faults": [{"code": 120, "nth": 1, "action": "status"}]})", nullptr},
  };
  for (const auto& [before, after] : cases) {
    SCOPED_TRACE(before ? before : "no file");
    testing::internal::CaptureStderr();
    Emulator emu(before);
    const std::string err = testing::internal::GetCapturedStderr();
    if (!after) {
      EXPECT_EQ(emu.fd, -1);
      EXPECT_NE(err.find(emu.path), std::string::npos) << err;
      EXPECT_EQ(test::ReadFile(emu.path), before);
      continue;
    }
    ASSERT_GT(emu.fd, 0);
    emu.Send(0x78, 6);
    EXPECT_EQ(emu.ReadStatus(), 0);
    const json state = emu.Close(), expected = json::parse(after);
    for (const auto& [field, value] : expected.items()) EXPECT_EQ(state[field], value) << field;
    const auto folder = std::filesystem::path(emu.path).parent_path();
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 1);  // no temp file
  }
}

// The log keeps the newest log_limit entries and counts those it let go,
// also across links.
TEST(Emulator, LogLimitKeepsTheNewest) {
  struct Case {
    const char* before;
    int frames;
    std::vector<std::string> kept;  // data of the entries left
    int dropped;
    std::uint64_t limit;
  } cases[] = {
      {nullptr, 3, {"00", "01", "02"}, 0, 100000},
      {R"({"log_limit": 2})", 7, {"05", "06"}, 5, 2},
      {R"({"log_limit": 0, "log_dropped": 4})", 2, {}, 6, 0},
      {R"({"log_limit": 3, "log_dropped": 1, "log": [{"code": 1, "slot": 0, "data": "AA"},
           {"code": 1, "slot": 0, "data": "BB"}]})",
       2,
       {"BB", "00", "01"},
       2,
       3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.before ? c.before : "no file");
    Emulator emu(c.before);
    ASSERT_GT(emu.fd, 0);
    for (int i = 0; i < c.frames; ++i) {
      emu.Send(0x78, static_cast<std::uint8_t>(i));
      EXPECT_EQ(emu.ReadStatus(), 0);
    }
    const json state = emu.Close();
    std::vector<std::string> kept;
    for (const auto& entry : state["log"]) kept.push_back(entry["data"]);
    EXPECT_EQ(kept, c.kept);
    EXPECT_EQ(state["log_dropped"], c.dropped);
    EXPECT_EQ(state["log_limit"], c.limit);
  }
}

// One link per state file at a time, through the library as through the
// link itself; the lock file goes with the last link.
TEST(Emulator, StateFileIsHeldByOneLink) {
  Emulator first(nullptr);
  ASSERT_GT(first.fd, 0);
  EXPECT_TRUE(sim::InUse(first.path.c_str()));
  bool inUse = false;
  EXPECT_EQ(sim::OpenLink(first.path.c_str(), &inUse), -1);
  EXPECT_TRUE(inUse);
  {
    test::ScopedEnv sim("VANTOR_READER_SIM", first.path.c_str());
    EXPECT_EQ(DllOpenReader(), VANTOR_ERR_NO_READER);
    EXPECT_EQ(HeldReader(), first.path);
    first.Send(0x78, 1);
    EXPECT_EQ(first.ReadStatus(), 0);
    first.Close();
    EXPECT_FALSE(sim::InUse(first.path.c_str()));
    const int handle = DllOpenReader();
    ASSERT_GT(handle, 0);
    EXPECT_EQ(DllLedControl(handle, 2), 0);
    EXPECT_EQ(DllCloseReader(handle), VANTOR_OK);
  }
  const json state = json::parse(test::ReadFile(first.path));
  EXPECT_EQ(state["led"], json::parse("[1, 2]"));
  const auto folder = std::filesystem::path(first.path).parent_path();
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 1);
}

}  // namespace
}  // namespace vantor
