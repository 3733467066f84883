// The reader link over a socket pair: the bytes on the wire, the results,
// and the outputs that must stay untouched on failure.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>

#include "protocol/frame.h"
#include "reader/transport.h"
#include "test_util.h"
#include "vantor/reader.h"

namespace vantor::test {
namespace {

std::string ReportHex(const Report& r) { return ToHex(r.data(), r.size()); }
std::string Zeros(std::size_t bytes) { return std::string(bytes * 2, '0'); }

class ReaderLink : public ::testing::Test {
 protected:
  ScopedEnv timeout_{"VANTOR_READ_TIMEOUT_MS", "300"};
  ReaderPeer peer_;
  int h() const { return peer_.host(); }
};

TEST_F(ReaderLink, CommandWithoutDataIsOneReport) {
  peer_.AnswerFrame(0, {});
  EXPECT_EQ(DllEraseOfflineData(h()), 0);
  const auto written = peer_.TakeWritten();
  ASSERT_EQ(written.size(), 1u);
  EXPECT_EQ(ReportHex(written[0]), "03007C00007C" + Zeros(58));
}

TEST_F(ReaderLink, FrameCuttingAtTheReportBoundary) {
  struct Case {
    int dataLength;
    std::size_t reports;
  } cases[] = {{0, 1}, {58, 1}, {59, 2}, {121, 2}, {122, 3}, {599, 10}};
  for (const auto& c : cases) {
    std::vector<std::uint8_t> data(static_cast<std::size_t>(c.dataLength));
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7 + 1);
    ASSERT_EQ(SKSendData(h(), 0x105, 0x8C, data.data(), c.dataLength), 1);
    const auto written = peer_.TakeWritten();
    ASSERT_EQ(written.size(), c.reports) << c.dataLength;
    std::vector<std::uint8_t> frame;
    for (const auto& r : written) {
      ASSERT_EQ(r.size(), 64u);
      EXPECT_EQ(r[0], 3);
      frame.insert(frame.end(), r.begin() + 1, r.end());
    }
    std::vector<std::uint8_t> expected(data.size() + 5);
    BuildCommandFrame(0x05, 0x8C, data.data(), data.size(), expected.data());
    // The frame, then zero fill to the end of the last report.
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), frame.begin()));
    for (std::size_t i = expected.size(); i < frame.size(); ++i) EXPECT_EQ(frame[i], 0);
  }
}

TEST_F(ReaderLink, CommandDataOverTheFrameLimitIsRefusedBeforeWriting) {
  std::vector<std::uint8_t> data(600);
  EXPECT_EQ(SKSendData(h(), 0, 0x8C, data.data(), 600), 0);
  EXPECT_EQ(DllDownloadFirmware(h(), data.data(), 600), VANTOR_ERR_LENGTH);
  EXPECT_EQ(SKSendData(h(), 0, 0x8C, data.data(), -1), 0);
  EXPECT_EQ(DllSetOfflineFileName(h(), reinterpret_cast<char*>(data.data()), 262),
            VANTOR_ERR_LENGTH);
  EXPECT_EQ(DllDownloadFirmwareComplete(h(), data.data(), 281), VANTOR_ERR_LENGTH);
  EXPECT_TRUE(peer_.TakeWritten().empty());
}

TEST_F(ReaderLink, ResponsesAreAcceptedWhateverTheirFirstTwoBytes) {
  struct Case {
    std::string report;
    bool ok;
    int error;
  } cases[] = {
      {"04007C0000007C", true, 0},     // no data, checksum 7C
      {"04FF7C0000007C", true, 0},     // byte 0 is not covered
      {"04007D0000007C", false, -14},  // byte 1 is
      {"04007C01000000", false, -14},  // status 1, checksum never looked at
  };
  for (const auto& c : cases) {
    Report r = Hex(c.report);
    r.resize(64);
    peer_.Answer({r});
    unsigned char data[VANTOR_MAX_RESPONSE_DATA];
    std::memset(data, 0xAA, sizeof data);
    int length = 77;
    const int ok = SKRevData(h(), 0, 0, data, &length);
    EXPECT_EQ(ok, c.ok ? 1 : 0) << c.report;
    EXPECT_EQ(length, c.ok ? 0 : 77) << c.report;
    EXPECT_EQ(data[0], 0xAA);
    if (!c.ok) {
      // The last transport error surfaces through a command.
      r.resize(64);
      peer_.Answer({r});
      EXPECT_EQ(Dll7816CardPowerdown(h(), 0), c.error);
    }
    peer_.TakeWritten();
  }
}

TEST_F(ReaderLink, StatusMapping) {
  const std::pair<int, int> cases[] = {
      {1, -14}, {2, -30},  {3, -9},   {4, -13},  {5, -8},   {6, -8},    {7, -30},   {8, -20},
      {9, -21}, {10, -22}, {11, -24}, {12, -25}, {13, -30}, {253, -30}, {254, -11}, {255, -30}};
  for (const auto& [status, code] : cases) {
    EXPECT_EQ(MapDeviceStatus(static_cast<std::uint8_t>(status)), code);
    peer_.AnswerFrame(static_cast<std::uint8_t>(status), {});
    EXPECT_EQ(DllLedControl(h(), 1), code) << status;
  }
  EXPECT_EQ(MapDeviceStatus(0), 0);
}

TEST_F(ReaderLink, ResponseLengthsAroundTheReportBoundary) {
  for (std::size_t n : {0u, 57u, 58u, 280u, 594u}) {
    std::vector<std::uint8_t> data(n);
    for (std::size_t i = 0; i < n; ++i) data[i] = static_cast<std::uint8_t>(i);
    peer_.AnswerFrame(0, data, 0x12, 0x34);
    unsigned char out[VANTOR_MAX_RESPONSE_DATA];
    int length = -1;
    ASSERT_EQ(SKRevData(h(), 0, 0, out, &length), 1) << n;
    EXPECT_EQ(length, static_cast<int>(n));
    if (n) {
      EXPECT_EQ(0, std::memcmp(out, data.data(), n));
    }
  }
}

TEST_F(ReaderLink, OversizeResponseIsRefusedAndDrained) {
  // A frame announcing 600 data bytes: 606 bytes, ten reports.
  std::vector<std::uint8_t> frame(606);
  frame[3] = 600 & 0xFF;
  frame[4] = 600 >> 8;
  std::vector<Report> reports;
  for (std::size_t i = 0; i < 10; ++i) {
    Report r(64);
    CutReport(frame.data(), frame.size(), i, kInputReportId, r.data());
    reports.push_back(r);
  }
  peer_.Answer(reports);
  peer_.AnswerFrame(0, {0x90, 0x00});
  unsigned char out[VANTOR_MAX_RESPONSE_DATA] = {0x55};
  int length = 9;
  EXPECT_EQ(SKRevData(h(), 0, 0, out, &length), 0);
  EXPECT_EQ(length, 9);
  EXPECT_EQ(out[0], 0x55);
  // The next exchange reads its own answer.
  ASSERT_EQ(SKRevData(h(), 0, 0, out, &length), 1);
  EXPECT_EQ(length, 2);
  EXPECT_EQ(out[0], 0x90);
}

TEST_F(ReaderLink, AnswerToReset) {
  struct Case {
    std::vector<std::uint8_t> atr;
    int result;
  } cases[] = {
      {{0x3B}, -5},
      {{0x3B, 0x00}, 0},
      {std::vector<std::uint8_t>(33, 0x3F), 0},
      {std::vector<std::uint8_t>(34, 0x3B), -5},
      {{0x3E, 0x00}, -5},
  };
  for (const auto& c : cases) {
    peer_.AnswerFrame(0, c.atr);
    unsigned char atr[VANTOR_ROOM_ATR + 8];
    std::memset(atr, 0xEE, sizeof atr);
    int atrLength = 1234;
    EXPECT_EQ(DllReset7816Card(h(), 1, atr, &atrLength), c.result);
    const auto written = peer_.TakeWritten();
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(ReportHex(written[0]).substr(0, 14), "03016201000162");
    if (c.result == 0) {
      EXPECT_EQ(atrLength, static_cast<int>(c.atr.size()));
      EXPECT_EQ(0, std::memcmp(atr, c.atr.data(), c.atr.size()));
      EXPECT_EQ(atr[c.atr.size()], 0xEE);
    } else {
      EXPECT_EQ(atrLength, 1234);
      EXPECT_EQ(atr[0], 0xEE);
    }
  }
}

TEST_F(ReaderLink, FirmwareVersion) {
  struct Case {
    std::string response;
    int result;
    std::string text;
    unsigned trailer;
  } cases[] = {
      {"0400 3412", 0, "", 0x1234},
      {"0700 414243 0100", 0, "ABC", 1},
      {"0700 414243 0100 FFFF", 0, "ABC", 1},          // data past L is ignored
      {"0300 41", VANTOR_ERR_LENGTH, "", 0},           // L below 4
      {"0900 414243 0100", VANTOR_ERR_LENGTH, "", 0},  // L past the data
      {"04", VANTOR_ERR_LENGTH, "", 0},
  };
  for (const auto& c : cases) {
    peer_.AnswerFrame(0, Hex(c.response));
    char version[VANTOR_ROOM_VERSION];
    std::memset(version, '#', sizeof version);
    unsigned length = 99, trailer = 98;
    EXPECT_EQ(DllGetFirmwareVersion(h(), version, &length, &trailer), c.result) << c.response;
    if (c.result == 0) {
      EXPECT_EQ(std::string(version, length), c.text);
      EXPECT_EQ(version[length], '#');
      EXPECT_EQ(trailer, c.trailer);
    } else {
      EXPECT_EQ(length, 99u);
      EXPECT_EQ(trailer, 98u);
    }
    peer_.TakeWritten();
  }
}

TEST_F(ReaderLink, OfflineFileName) {
  char name[VANTOR_ROOM_NAME];
  std::memset(name, '#', sizeof name);
  unsigned length = 5;
  peer_.AnswerFrame(0, {});
  EXPECT_EQ(DllGetOfflineFileName(h(), name, &length), 0);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(name[0], '#');

  peer_.AnswerFrame(0, Hex("612E62696E"));
  EXPECT_EQ(DllGetOfflineFileName(h(), name, &length), 0);
  EXPECT_EQ(std::string(name, length), "a.bin");
  EXPECT_EQ(name[5], '#');

  // Longer than the name buffer: refused, outputs untouched.
  peer_.AnswerFrame(0, std::vector<std::uint8_t>(281, 'x'));
  EXPECT_EQ(DllGetOfflineFileName(h(), name, &length), VANTOR_ERR_LENGTH);
  EXPECT_EQ(length, 5u);
  EXPECT_EQ(name[0], 'a');

  peer_.TakeWritten();
  peer_.AnswerFrame(0, {});
  char set[] = "100%new.bin";
  EXPECT_EQ(DllSetOfflineFileName(h(), set, 11), 0);
  const auto written = peer_.TakeWritten();
  ASSERT_EQ(written.size(), 1u);
  EXPECT_EQ(ReportHex(written[0]).substr(0, 10 + 22),
            "03007B0B00" + ToHex(reinterpret_cast<const std::uint8_t*>(set), 11));
}

TEST_F(ReaderLink, RequestBytesOfEachCommand) {
  unsigned char apdu[] = {0x00, 0xA4, 0x04, 0x00};
  unsigned char data[255];
  for (int i = 0; i < 255; ++i) data[i] = static_cast<unsigned char>(i);
  struct Case {
    const char* what;
    std::function<int()> call;
    std::string frameStart;  // first bytes of the frame
    std::size_t reports;
  } cases[] = {
      {"start record", [&] { return DllWriteOfflineData(h(), 2, data, 0); }, "007D020002007D", 1},
      {"end record", [&] { return DllWriteOfflineData(h(), 3, data, 0); }, "007D020003007C", 1},
      {"255-byte record", [&] { return DllWriteOfflineData(h(), 0x11, data, 255); },
       "007D010111FF0001", 5},
      {"buzzer", [&] { return DllSpeakerControl(h(), 1); }, "007901000179", 1},
      {"led", [&] { return DllLedControl(h(), 7); }, "0078010007", 1},
      {"apdu slot 1",
       [&] {
         unsigned char r[600];
         int n;
         return Dll7816CardAPDU(h(), 1, apdu, 4, r, &n);
       },
       "016F040000A40400", 1},
      {"power down", [&] { return Dll7816CardPowerdown(h(), 0x101); }, "0163000063", 1},
      {"firmware block", [&] { return DllDownloadFirmware(h(), apdu, 4); }, "008C040000A40400", 1},
  };
  for (const auto& c : cases) {
    peer_.AnswerFrame(0, {});
    EXPECT_EQ(c.call(), 0) << c.what;
    const auto written = peer_.TakeWritten();
    ASSERT_EQ(written.size(), c.reports) << c.what;
    EXPECT_EQ(ReportHex(written[0]).substr(2, std::string(c.frameStart).size()), c.frameStart)
        << c.what;
  }
}

// The shortest of three runs of call: a delay built into the call shows in
// every run, a stall of a busy machine rarely in all three.
template <class Call>
std::chrono::steady_clock::duration Fastest(Call call) {
  auto best = std::chrono::steady_clock::duration::max();
  for (int i = 0; i < 3; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    call();
    best = std::min(best, std::chrono::steady_clock::now() - t0);
  }
  return best;
}

TEST_F(ReaderLink, FirmwareCommandsSettleOnlyAfterSuccess) {
  // Waits never end early, so the settle time is a firm lower bound; its
  // absence is checked against the settle time itself (800 ms).
  unsigned char header[3] = {0xF1, 0x22, 0x33};
  peer_.AnswerFrame(0, {});
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(DllDownloadFirmwareStart(h(), header, 3), 0);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(800));

  EXPECT_LT(Fastest([&] {
              peer_.AnswerFrame(4, {});
              EXPECT_EQ(DllDownloadFirmwareFirst(h(), header, 3), -13);
            }),
            std::chrono::milliseconds(790));
}

#ifndef _WIN32  // POSIX error numbers and descriptors; Windows has its own tests
TEST_F(ReaderLink, TransportFailuresGiveTheOsError) {
  // Handle -2 (no reader): the first write fails with EBADF, with neither
  // the read time (300 ms) nor the settle time waited.
  unsigned char b[3] = {};
  EXPECT_LT(Fastest([&] { EXPECT_EQ(DllDownloadFirmwareStart(-2, b, 3), EBADF); }),
            std::chrono::milliseconds(290));

  // Nothing answers: the read gives up after the configured time.
  EXPECT_EQ(DllEraseOfflineData(h()), ETIMEDOUT);

  // The reader goes away: write or read fails at once with its errno.
  peer_.CloseReaderSide();
  const int result = DllEraseOfflineData(h());
  EXPECT_TRUE(result == EPIPE || result == ECONNRESET || result == EIO) << result;
}

TEST_F(ReaderLink, ClosingTwiceFails) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ::close(fds[1]);
  EXPECT_EQ(DllCloseReader(fds[0]), 0);
  EXPECT_EQ(DllCloseReader(fds[0]), VANTOR_ERR_CLOSE);
}
#endif  // _WIN32

}  // namespace
}  // namespace vantor::test

namespace vantor::test {
namespace {

// A first report shorter than the frame header (possible on a socket, not
// on HID) must not let the data length disagree with what was gathered.
TEST(ResponseAssembler, ShortFirstReportNeverClaimsMoreData) {
  ResponseAssembler response;
  std::uint8_t first[64] = {4, 0x00, 0x7C, 0x00};  // status 0, length bytes not delivered
  ASSERT_EQ(response.Feed(first, 4), ResponseAssembler::kNeedMore);
  // These land where the length was, with a checksum that fits them.
  std::uint8_t second[64] = {4, 0x41, 0x41, 0x7C};
  ASSERT_EQ(response.Feed(second, 64), ResponseAssembler::kDone);
  EXPECT_EQ(response.dataLength(), 0u);
}

}  // namespace
}  // namespace vantor::test
