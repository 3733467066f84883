// The Windows side of the reader link: the walk over the HID interfaces
// (against a made-up device list), transfers that fail with Windows error
// codes, and the emulated reader over its named pipe.
#include <windows.h>
#include <setupapi.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "reader/hid_search_win32.h"
#include "test_util.h"
#include "vantor/reader.h"

namespace vantor::test {
namespace {

using os::win32::HidApi;
using os::win32::HidAttributes;
using os::win32::kMaxEnumFailures;

struct FakeInterface {
  unsigned short vendor = 0x0755;
  unsigned short product = 0x0001;
  unsigned short version = 0x0205;
  int enumFailures = 0;  // failed enumerations before this index succeeds
  bool detailFails = false;
  bool openFails = false;
  bool attributesFail = false;
};

FakeInterface Reader() { return {}; }
FakeInterface Device(unsigned short vendor, unsigned short product, unsigned short version) {
  FakeInterface f;
  f.vendor = vendor;
  f.product = product;
  f.version = version;
  return f;
}
template <typename Change>
FakeInterface Reader(Change change) {
  FakeInterface f;
  change(f);
  return f;
}

// Hands out handles 0x1000 + 4 * index and records what the walk does.
class FakeHid : public HidApi {
 public:
  explicit FakeHid(std::vector<FakeInterface> interfaces) : interfaces_(std::move(interfaces)) {}

  void* OpenDeviceSet() override {
    if (setFails) {
      SetLastError(ERROR_ACCESS_DENIED);
      return nullptr;
    }
    ++setsOpen;
    return this;
  }
  void CloseDeviceSet(void* set) override {
    EXPECT_EQ(set, this);
    --setsOpen;
  }
  bool EnumInterface(void*, unsigned long index) override {
    ++enumCalls;
    if (index >= interfaces_.size()) {
      SetLastError(ERROR_NO_MORE_ITEMS);
      return false;
    }
    if (interfaces_[index].enumFailures > 0) {
      --interfaces_[index].enumFailures;
      SetLastError(ERROR_GEN_FAILURE);
      return false;
    }
    current_ = index;
    return true;
  }
  unsigned long DetailSize(void*, unsigned long) override {
    if (detailSizeUnknown) return 0;
    return static_cast<unsigned long>(sizeof(DWORD) + (Path(current_).size() + 1) * sizeof(wchar_t));
  }
  bool GetDetail(void*, unsigned long index, void* detail, unsigned long size) override {
    EXPECT_EQ(index, current_);
    auto* d = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(detail);
    EXPECT_EQ(d->cbSize, sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W));
    const std::wstring path = Path(index);
    if (interfaces_[index].detailFails ||
        size < sizeof(DWORD) + (path.size() + 1) * sizeof(wchar_t)) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return false;
    }
    wcscpy(d->DevicePath, path.c_str());
    return true;
  }
  void* Allocate(std::size_t bytes) override {
    if (allocationFails) return nullptr;
    ++allocations;
    return std::malloc(bytes);
  }
  void Free(void* p) override {
    --allocations;
    std::free(p);
  }
  HANDLE OpenPath(const wchar_t* path) override {
    const unsigned long index = std::wcstoul(path + std::wcslen(L"\\\\?\\hid#fake#"), nullptr, 10);
    EXPECT_EQ(Path(index), path);
    if (interfaces_[index].openFails) {
      SetLastError(ERROR_ACCESS_DENIED);
      return INVALID_HANDLE_VALUE;
    }
    const HANDLE h = reinterpret_cast<HANDLE>(0x1000 + 4 * static_cast<std::intptr_t>(index));
    open.insert(h);
    return h;
  }
  bool GetAttributes(HANDLE device, HidAttributes* attributes) override {
    const FakeInterface& f = interfaces_[Index(device)];
    if (f.attributesFail) return false;
    *attributes = {f.vendor, f.product, f.version};
    return true;
  }
  void Close(HANDLE device) override { EXPECT_EQ(open.erase(device), 1u); }

  static int Index(HANDLE h) {
    return h == INVALID_HANDLE_VALUE ? -1
                                     : static_cast<int>((reinterpret_cast<std::intptr_t>(h) - 0x1000) / 4);
  }

  bool setFails = false;
  bool allocationFails = false;
  bool detailSizeUnknown = false;
  int setsOpen = 0;
  int allocations = 0;
  int enumCalls = 0;
  std::set<HANDLE> open;

 private:
  static std::wstring Path(unsigned long index) {
    return L"\\\\?\\hid#fake#" + std::to_wstring(index);
  }
  std::vector<FakeInterface> interfaces_;
  unsigned long current_ = 0;
};

TEST(HidSearch, WalksTheInterfacesInOrder) {
  struct Case {
    const char* what;
    std::vector<FakeInterface> interfaces;
    int found;  // index of the opened interface, -1 for none
  } cases[] = {
      {"no HID interfaces", {}, -1},
      {"the reader alone", {Reader()}, 0},
      {"another device before it", {Device(0x046D, 0xC077, 0x0100), Reader()}, 1},
      {"version 0x0206 is not the reader", {Device(0x0755, 0x0001, 0x0206), Reader()}, 1},
      {"product 0x0002 is not the reader", {Device(0x0755, 0x0002, 0x0205)}, -1},
      {"two readers: the first wins", {Reader(), Reader()}, 0},
      {"an interface that cannot be opened is skipped",
       {Reader([](FakeInterface& f) { f.openFails = true; }), Reader()}, 1},
      {"unreadable attributes stop the walk",
       {Reader([](FakeInterface& f) { f.attributesFail = true; }), Reader()}, -1},
      {"an unreadable detail record stops the walk",
       {Device(1, 2, 3), Reader([](FakeInterface& f) { f.detailFails = true; }), Reader()}, -1},
      {"passing enumeration failures are retried at the same index",
       {Device(1, 2, 3), Reader([](FakeInterface& f) { f.enumFailures = kMaxEnumFailures - 1; })}, 1},
      {"a lasting enumeration failure ends the walk",
       {Reader([](FakeInterface& f) { f.enumFailures = 1000000; }), Reader()}, -1},
  };
  for (const auto& c : cases) {
    FakeHid hid(c.interfaces);
    const HANDLE h = os::win32::FindReader(hid);
    EXPECT_EQ(FakeHid::Index(h), c.found) << c.what;
    // Only the returned handle stays open; the set and the buffers are gone.
    EXPECT_EQ(hid.open.size(), c.found >= 0 ? 1u : 0u) << c.what;
    EXPECT_EQ(hid.setsOpen, 0) << c.what;
    EXPECT_EQ(hid.allocations, 0) << c.what;
  }
}

TEST(HidSearch, EarlyFailuresEndTheSearch) {
  struct Case {
    const char* what;
    bool FakeHid::*flag;
  } cases[] = {
      {"no device set", &FakeHid::setFails},
      {"no memory for the detail record", &FakeHid::allocationFails},
      // The record still holds its fixed part; the detail call fails.
      {"detail size not reported", &FakeHid::detailSizeUnknown},
  };
  for (const auto& c : cases) {
    FakeHid hid({Reader()});
    hid.*c.flag = true;
    EXPECT_EQ(os::win32::FindReader(hid), INVALID_HANDLE_VALUE) << c.what;
    EXPECT_EQ(hid.setsOpen, 0) << c.what;
    EXPECT_EQ(hid.allocations, 0) << c.what;
    EXPECT_TRUE(hid.open.empty()) << c.what;
  }
  FakeHid stuck({Reader([](FakeInterface& f) { f.enumFailures = 1000000; })});
  EXPECT_EQ(os::win32::FindReader(stuck), INVALID_HANDLE_VALUE);
  EXPECT_EQ(stuck.enumCalls, kMaxEnumFailures);
}

class Win32Link : public ::testing::Test {
 protected:
  ScopedEnv timeout_{"VANTOR_READ_TIMEOUT_MS", "200"};
  ReaderPeer peer_;
  int h() const { return peer_.host(); }
};

TEST_F(Win32Link, ReadTimeoutGivesWaitTimeoutAndLosesNoReport) {
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(DllEraseOfflineData(h()), static_cast<int>(WAIT_TIMEOUT));
  const auto waited = std::chrono::steady_clock::now() - t0;
  EXPECT_GE(waited, std::chrono::milliseconds(150));
  EXPECT_LT(waited, std::chrono::milliseconds(3000));
  EXPECT_EQ(peer_.TakeWritten().size(), 1u);

  // The cancelled read took nothing: the next answer arrives whole.
  peer_.AnswerFrame(0, {0x61, 0x2E, 0x62});
  char name[VANTOR_ROOM_NAME] = {};
  unsigned length = 0;
  ASSERT_EQ(DllGetOfflineFileName(h(), name, &length), 0);
  EXPECT_EQ(std::string(name, length), "a.b");
}

TEST_F(Win32Link, HandlesThatAreNotOpenFailAtOnce) {
  for (const int handle : {0, -1, -2}) {
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(DllEraseOfflineData(handle), static_cast<int>(ERROR_INVALID_HANDLE)) << handle;
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(100));
    // -2 is also the thread's pseudo handle, which the system "closes"
    // with success.
    EXPECT_EQ(DllCloseReader(handle), VANTOR_ERR_CLOSE) << handle;
  }
}

TEST_F(Win32Link, VanishedReaderGivesThePipeError) {
  peer_.CloseReaderSide();
  const std::set<int> pipeErrors = {ERROR_BROKEN_PIPE, ERROR_NO_DATA, ERROR_PIPE_NOT_CONNECTED};
  EXPECT_EQ(pipeErrors.count(DllEraseOfflineData(h())), 1u);
  unsigned char data[VANTOR_MAX_RESPONSE_DATA];
  int length = 5;
  EXPECT_EQ(SKRevData(h(), 0, 0, data, &length), 0);
  EXPECT_EQ(length, 5);
}

TEST(Win32Close, ClosingTwiceFails) {
  const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  const int handle = static_cast<int>(reinterpret_cast<std::intptr_t>(event));
  EXPECT_EQ(DllCloseReader(handle), 0);
  EXPECT_EQ(DllCloseReader(handle), VANTOR_ERR_CLOSE);
}

TEST(Win32Search, NoReaderIsMinusTwo) {
  ScopedEnv sim("VANTOR_READER_SIM", nullptr);
  const int handle = DllOpenReader();
  if (handle != VANTOR_ERR_NO_READER) {
    DllCloseReader(handle);
    GTEST_SKIP() << "a reader is attached";
  }
  EXPECT_EQ(handle, VANTOR_ERR_NO_READER);
}

using nlohmann::json;

TEST(Win32Emulator, StateIsWrittenBeforeCloseReturns) {
  TempDir dir;
  ScopedEnv sim("VANTOR_READER_SIM", dir.File("reader.json").c_str());
  for (int round = 0; round < 3; ++round) {
    const int handle = DllOpenReader();
    ASSERT_NE(handle, VANTOR_ERR_NO_READER);
    ASSERT_NE(handle, 0);
    std::string name = "run" + std::to_string(round) + ".bin";
    ASSERT_EQ(DllSetOfflineFileName(handle, name.data(), static_cast<unsigned>(name.size())), 0);
    unsigned char none[1] = {};
    ASSERT_EQ(DllWriteOfflineData(handle, VANTOR_RECORD_START, none, 0), 0);
    ASSERT_EQ(DllCloseReader(handle), 0);
    const json state = json::parse(ReadFile(dir.File("reader.json")));
    EXPECT_EQ(state["offline_file_name"], ToHex(reinterpret_cast<const std::uint8_t*>(name.data()), name.size()));
    EXPECT_EQ(state["log"].size(), 2u * (round + 1));
  }
}

}  // namespace
}  // namespace vantor::test
