// The reader link over a socket pair (a named pipe on Windows): wire bytes,
// results, and outputs that must stay untouched on failure.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#ifndef _WIN32
#include <cerrno>
#include <thread>
#endif

#include "protocol/frame.h"
#include "reader/handles.h"
#include "reader/os.h"
#include "reader/transport.h"
#include "test_util.h"
#include "vantor/reader.h"

namespace vantor::test {
namespace {

using Bytes = std::vector<std::uint8_t>;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

Bytes Counting(std::size_t n) {
  Bytes data(n);
  for (std::size_t i = 0; i < n; ++i) data[i] = static_cast<std::uint8_t>(i);
  return data;
}

class ReaderLink : public ::testing::Test {
 protected:
  ScopedEnv timeout_{"VANTOR_READ_TIMEOUT_MS", "300"};
  ReaderPeer peer_;
  int h() const { return peer_.host(); }
};

// What a fake reader is to do: each read gives the next report (as many
// bytes as the OS would deliver), then fails with readError.
struct Script {
  std::vector<Bytes> reads;
  int readError = 61;
  int writeError = 0;  // 0: every write succeeds
  bool closes = true;
};

// What it did, kept by the test while the table owns the io.
struct FakeLog {
  std::atomic<int> writes{0}, closes{0}, forgets{0}, timeoutMs{0};
};

class FakeIo : public ReaderIo {
 public:
  FakeIo(int handle, FakeLog* log, Script script)
      : ReaderIo(handle), log_(log), script_(std::move(script)) {}
  bool Write(const std::uint8_t*, int* error) override {
    ++log_->writes;
    *error = script_.writeError;
    return script_.writeError == 0;
  }
  bool Read(std::uint8_t report[64], std::size_t* got, int timeoutMs, int* error) override {
    log_->timeoutMs = timeoutMs;
    if (next_ == script_.reads.size()) {
      *error = script_.readError;
      return false;
    }
    const Bytes& r = script_.reads[next_++];
    std::copy(r.begin(), r.end(), report);
    *got = r.size();
    return true;
  }
  bool Close() override {
    ++log_->closes;
    return script_.closes;
  }
  void Forget() override { ++log_->forgets; }

 private:
  FakeLog* log_;
  Script script_;
  std::size_t next_ = 0;
};

// Whole milliseconds from 1 to an hour; anything else is the default.
TEST(ReadTimeout, FromTheEnvironment) {
  const std::pair<const char*, int> cases[] = {
      {nullptr, 10000}, {"", 10000}, {"abc", 10000},       {"0", 10000},
      {"5x", 10000},    {"1", 1},    {"3600000", 3600000}, {"3600001", 10000}};
  for (const auto& [value, ms] : cases) {
    ScopedEnv env("VANTOR_READ_TIMEOUT_MS", value);
    EXPECT_EQ(os::ReadTimeoutMs(), ms) << (value ? value : "unset");
  }
}

// Each command's first report's start (hex) and report count, or its refusal
// before writing (""); the firmware start and end (8A, 8D) settle 800 ms.
TEST_F(ReaderLink, Requests) {
  Bytes d = Counting(600);
  unsigned char *p = d.data(), apdu[] = {0x00, 0xA4, 0x04, 0x00}, out[VANTOR_MAX_RESPONSE_DATA];
  char nm[262] = "100%new.bin";
  const int H = h();
  int n = 0;
  const std::tuple<std::function<int()>, int, std::string, std::size_t> cases[] = {
      {[&] { return DllEraseOfflineData(H); }, 0, "03007C00007C", 1},
      {[&] { return DllWriteOfflineData(H, 0x11, p, 255); }, 0, "03007D010111FF000102", 5},
      {[&] { return DllSpeakerControl(H, 1); }, 0, "03007901000179", 1},
      {[&] { return DllLedControl(H, 7); }, 0, "0300780100077E", 1},
      {[&] { return DllReset7816Card(H, 1, out, &n); }, VANTOR_ERR_ATR, "03016201000162", 1},
      {[&] { return Dll7816CardAPDU(H, 1, apdu, 4, out, &n); }, 0, "03016F040000A40400CB", 1},
      {[&] { return Dll7816CardPowerdown(H, 0x101); }, 0, "030163000063", 1},
      {[&] { return DllSetOfflineFileName(H, nm, 11); }, 0, "03007B0B00313030256E65772E62696E", 1},
      {[&] { return DllSetOfflineFileName(H, nm, 261); }, 0, "03007B0501", 5},
      {[&] { return DllDownloadFirmware(H, apdu, 4); }, 0, "03008C040000A4040028", 1},
      {[&] { return DllDownloadFirmwareStart(H, apdu, 3); }, 0, "03008A030000A40429", 1},
      {[&] { return DllDownloadFirmwareComplete(H, p, 280); }, 0, "03008D18010001", 5},
      {[&] { return SKSendData(H, 0, 0x8C, p, 600); }, 0, "", 0},
      {[&] { return SKSendData(H, 0, 0x8C, p, -1); }, 0, "", 0},
      {[&] { return DllDownloadFirmware(H, p, 600); }, VANTOR_ERR_LENGTH, "", 0},
      {[&] { return DllSetOfflineFileName(H, nm, 262); }, VANTOR_ERR_LENGTH, "", 0},
      {[&] { return DllDownloadFirmwareComplete(H, p, 281); }, VANTOR_ERR_LENGTH, "", 0},
      {[&] { return DllDownloadFirmwareComplete(H, p, -1); }, VANTOR_ERR_LENGTH, "", 0},
  };
  int row = 0;
  for (const auto& [call, result, request, reports] : cases) {
    SCOPED_TRACE(row++);
    if (reports) peer_.AnswerFrame(0, {});
    const auto t0 = steady_clock::now();
    EXPECT_EQ(call(), result);
    const bool settles =
        request.compare(0, 6, "03008A") == 0 || request.compare(0, 6, "03008D") == 0;
    EXPECT_TRUE(!settles || steady_clock::now() - t0 >= milliseconds(800));
    const auto written = peer_.TakeWritten();
    ASSERT_EQ(written.size(), reports);
    EXPECT_EQ(reports ? ToHex(written[0].data(), request.size() / 2) : "", request);
  }
}

// Frames are cut into 64-byte reports at every 63 bytes, zero-filled; the
// reader's side gathers each whole, the largest command too.
TEST_F(ReaderLink, FramesAreCutIntoReports) {
  for (std::size_t length : {0u, 58u, 59u, 121u, 122u, 599u}) {
    Bytes data = Counting(length);
    ASSERT_EQ(SKSendData(h(), 0x105, 0x8C, data.data(), static_cast<int>(length)), 1);
    const auto n = static_cast<std::uint8_t>(length), n1 = static_cast<std::uint8_t>(length >> 8);
    const auto written = peer_.TakeWritten();
    EXPECT_EQ(written, Reports(Frame({0x05, 0x8C, n, n1}, data), 3)) << length;
    CommandAssembler command;
    for (std::size_t i = 0; i < written.size(); ++i) {
      ASSERT_EQ(command.Feed(written[i].data(), 64),
                i + 1 < written.size() ? CommandAssembler::kNeedMore : CommandAssembler::kDone);
    }
    EXPECT_EQ(Bytes(command.data(), command.data() + command.dataLength()), data) << length;
    EXPECT_TRUE(command.checksumOk()) << length;
  }
}

// Byte 0 is outside the checksum, a non-zero status skips it, data fits
// up to 594 bytes. A failure leaves the outputs and reads the whole response;
// success resets the last transport error.
TEST_F(ReaderLink, Responses) {
  const auto answer = [](std::size_t n) {
    return Frame({0x12, 0x34, 0, static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8)},
                 Counting(n));
  };
  const int kSum = VANTOR_ERR_CHECKSUM;
  const std::pair<Bytes, int> cases[] = {
      {Hex("007C0000007C"), 0},
      {Hex("FF7C0000007C"), 0},
      {Hex("007D0000007C"), kSum},
      {Hex("007C01000000"), kSum},
      {answer(57), 0},
      {answer(58), 0},
      {answer(594), 0},
      {answer(600), VANTOR_ERR_LENGTH},
  };
  int row = 0;
  for (const auto& [frame, result] : cases) {
    const std::size_t size = frame.size() - 6;
    SCOPED_TRACE(row++);
    peer_.Answer(Reports(frame));
    peer_.Answer(Reports(Hex("0000000200900092")));
    Bytes out(VANTOR_MAX_RESPONSE_DATA + 1, 0xAA);
    int length = 77;
    EXPECT_EQ(SKRevData(h(), 0, 0, out.data(), &length), result == 0);
    EXPECT_EQ(LastTransportError(), result);
    const std::size_t got = result ? 0 : size;  // a failure leaves length and out as they were
    EXPECT_EQ(length, result ? 77 : static_cast<int>(size));
    EXPECT_EQ(Bytes(out.begin(), out.begin() + got), Counting(got));
    EXPECT_EQ(out[got], 0xAA);
    ASSERT_EQ(SKRevData(h(), 0, 0, out.data(), &length), 1);
    EXPECT_EQ(LastTransportError(), 0);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + length), Hex("9000"));
  }
}

TEST_F(ReaderLink, StatusMapping) {
  const std::pair<int, int> cases[] = {
      {1, -14}, {2, -30},  {3, -9},   {4, -13},  {5, -8},   {6, -8},    {7, -30},   {8, -20},
      {9, -21}, {10, -22}, {11, -24}, {12, -25}, {13, -30}, {253, -30}, {254, -11}, {255, -30}};
  for (const auto& [status, code] : cases) {
    peer_.AnswerFrame(static_cast<std::uint8_t>(status), {});
    EXPECT_EQ(DllLedControl(h(), 1), code) << status;
  }
}

// Outputs are written from a sound answer ("#": first byte not written),
// untouched after an unsound one.
TEST_F(ReaderLink, ReadingCommands) {
  using Read = std::function<std::string(int handle)>;
  const Read atr = [](int handle) {
    Bytes b(VANTOR_ROOM_ATR + 1, '#');
    int n = -1, r = DllReset7816Card(handle, 1, b.data(), &n);
    return std::to_string(r) + " " + (n < 0 ? "untouched" : ToHex(b.data(), n + 1u));
  };
  const Read version = [](int handle) {
    std::string v(VANTOR_ROOM_VERSION, '#');
    unsigned n = 99, trailer = 98;
    const int r = DllGetFirmwareVersion(handle, v.data(), &n, &trailer);
    return std::to_string(r) + " " +
           (n == 99 ? "untouched" : v.substr(0, n + 1) + " " + std::to_string(trailer));
  };
  const Read name = [](int handle) {
    std::string v(VANTOR_ROOM_NAME, '#');
    unsigned n = 99;
    const int r = DllGetOfflineFileName(handle, v.data(), &n);
    return std::to_string(r) + " " + (n == 99 ? "untouched" : v.substr(0, n + 1));
  };
  const Bytes atr33(33, 0x3F);
  const std::string tooShort = "-31 untouched";
  const std::tuple<Read, Bytes, std::string> cases[] = {
      {atr, {0x3B}, "-5 untouched"},
      {atr, {0x3B, 0x00}, "0 3B0023"},
      {atr, atr33, "0 " + ToHex(atr33.data(), 33) + "23"},
      {atr, Bytes(34, 0x3B), "-5 untouched"},
      {atr, {0x3E, 0x00}, "-5 untouched"},
      {version, Hex("0400 3412"), "0 # 4660"},
      {version, Hex("0700 414243 0100"), "0 ABC# 1"},
      {version, Hex("0700 414243 0100 FFFF"), "0 ABC# 1"},
      {version, Hex("0300 41"), tooShort},
      {version, Hex("0900 414243 0100"), tooShort},
      {name, {}, "0 #"},
      {name, Hex("612E62696E"), "0 a.bin#"},
      {name, Bytes(281, 'x'), tooShort},
  };
  for (const auto& [read, answer, outputs] : cases) {
    peer_.AnswerFrame(0, answer);
    EXPECT_EQ(read(h()), outputs) << ToHex(answer.data(), answer.size());
    peer_.TakeWritten();
  }
}

// A handle reaches its reader only through its own io, and is refused once
// closed: the io's errors pass through as they are, it is closed exactly
// once, a failed close is reported.
TEST(HandleTable, CommandsAndClosesGoThroughTheHandlesIo) {
  ScopedEnv timeout("VANTOR_READ_TIMEOUT_MS", "250");
  const Bytes ok = Reports(Frame({0, 0, 0, 0, 0}, {}))[0];
  const Bytes shortFirst = {4, 0x00, 0x7C, 0x00};  // status 0, the length in the next report
  Bytes rest(64, 0);
  rest[0] = 4, rest[1] = 0x41, rest[2] = 0x41, rest[3] = 0x7C;
  const struct {
    const char* what;
    Script script;
    int result, firstClose;
  } cases[] = {
      {"answered", {{ok}}, VANTOR_OK, VANTOR_OK},
      {"a short first report", {{shortFirst, rest}}, VANTOR_OK, VANTOR_OK},
      {"read times out", {{}, 1460}, 1460, VANTOR_OK},
      {"read fails midway", {{shortFirst}, 5}, 5, VANTOR_OK},
      {"write fails", {{ok}, 0, 32}, 32, VANTOR_OK},
      {"close fails", {{ok}, 0, 0, false}, VANTOR_OK, VANTOR_ERR_CLOSE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeLog log;
    const int h = AddReaderHandle(std::make_unique<FakeIo>(4242, &log, c.script));
    ASSERT_EQ(h, 4242);
    EXPECT_EQ(DllLedControl(h, 1), c.result);
    EXPECT_EQ(LastTransportError(), c.result);
    EXPECT_EQ(log.writes, 1);
    EXPECT_EQ(log.timeoutMs, c.script.writeError ? 0 : 250);
    EXPECT_EQ(DllCloseReader(h), c.firstClose);
    EXPECT_EQ(DllCloseReader(h), VANTOR_ERR_CLOSE);
    EXPECT_EQ(DllLedControl(h, 1), os::NotOpenError());
    EXPECT_EQ(log.closes * 10 + log.forgets, 10) << "closed once, never forgotten";
  }

  // 0 and below are never handles (-2 is also a pseudo handle on Windows):
  // refused at once, and an io given such a value is closed, not kept.
  for (const int value : {0, -1, -2}) {
    FakeLog log;
    EXPECT_EQ(AddReaderHandle(std::make_unique<FakeIo>(value, &log, Script{})), -1) << value;
    EXPECT_EQ(log.closes, 1) << value;
    EXPECT_EQ(DllLedControl(value, 1), os::NotOpenError()) << value;
    EXPECT_EQ(DllCloseReader(value), VANTOR_ERR_CLOSE) << value;
  }

  // A value the OS gives again after its handle was closed behind the
  // library's back: the new handle replaces the stale entry, which is
  // forgotten, not closed (that would close the new one).
  FakeLog stale, fresh;
  ASSERT_EQ(AddReaderHandle(std::make_unique<FakeIo>(4243, &stale, Script{})), 4243);
  ASSERT_EQ(AddReaderHandle(std::make_unique<FakeIo>(4243, &fresh, Script{{ok}})), 4243);
  EXPECT_EQ(DllLedControl(4243, 1), VANTOR_OK);
  EXPECT_EQ(DllCloseReader(4243), VANTOR_OK);
  EXPECT_EQ((std::vector<int>{stale.closes, stale.forgets, fresh.closes, fresh.forgets}),
            (std::vector<int>{0, 1, 1, 0}));
}

#ifndef _WIN32  // POSIX error numbers and descriptors; Windows has its own tests
TEST_F(ReaderLink, TransportFailuresGiveTheOsError) {
  // No reader: EBADF at once, neither read nor settle time waited (the fastest of three runs:
  // a busy machine's stall rarely hits all).
  unsigned char b[3] = {};
  auto fastest = steady_clock::duration::max();
  for (int i = 0; i < 3; ++i) {
    const auto t0 = steady_clock::now();
    EXPECT_EQ(DllDownloadFirmwareStart(-2, b, 3), EBADF);
    fastest = std::min(fastest, steady_clock::now() - t0);
  }
  EXPECT_LT(fastest, milliseconds(290));
  EXPECT_EQ(DllEraseOfflineData(h()), ETIMEDOUT);
  peer_.CloseReaderSide();
  const int result = DllEraseOfflineData(h());
  EXPECT_TRUE(result == EPIPE || result == ECONNRESET || result == EIO) << result;
}

// Another thread's successful exchange must never turn a failure into success.
TEST(TransportThreads, FailureStaysWithItsThread) {
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
  constexpr long kCalls = 200000;  // sanitizers slow each call some tenfold
#else
  constexpr long kCalls = 1500000;
#endif
  FakeLog log;
  const int sink = AddReaderHandle(std::make_unique<FakeIo>(1 << 20, &log, Script{}));
  std::atomic<long> sentWrongly{0}, failedWrongly{0};
  std::thread sender([&] {
    unsigned char data[4] = {1, 2, 3, 4};
    for (long i = 0; i < kCalls; ++i) failedWrongly += SKSendData(sink, 0, 0x78, data, 4) != 1;
  });
  for (long i = 0; i < kCalls; ++i) sentWrongly += DllLedControl(1 << 24, 1) == 0;  // never open
  sender.join();
  EXPECT_EQ(DllCloseReader(sink), VANTOR_OK);
  EXPECT_EQ(sentWrongly.load(), 0);
  EXPECT_EQ(failedWrongly.load(), 0);
}
#endif  // _WIN32

}  // namespace
}  // namespace vantor::test
