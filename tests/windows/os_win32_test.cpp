// The Windows side of the reader link: the HID walk (over made-up device
// lists), the claim on a path and Windows error codes.
#include <windows.h>
#include <setupapi.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "reader/hid_search_win32.h"
#include "test_util.h"
#include "vantor/reader.h"

namespace vantor::test {
namespace {

using os::win32::kMaxEnumFailures;
using namespace std::chrono_literals;

enum Quirk { kFine, kOpenFails, kAttributesFail, kDetailFails, kHeld };
enum WalkFault { kNoFault, kNoDeviceSet, kNoMemory, kNoDetailSize };

struct Interface {
  unsigned short vendor, product, version;
  Quirk quirk = kFine;
  int enumFailures = 0;  // in a row before it is given
};
Interface Reader(Quirk quirk = kFine, int enumFailures = 0) {
  return {0x0755, 0x0001, 0x0205, quirk, enumFailures};
}

std::wstring Path(unsigned long i) { return L"\\\\?\\hid#" + std::to_wstring(i); }
unsigned long RecordSize(unsigned long i) { return sizeof(DWORD) + (Path(i).size() + 1) * 2; }
int IndexOf(const wchar_t* path) { return std::wcstol(std::wcsrchr(path, L'#') + 1, nullptr, 10); }
// Interface i opens as handle 4 * (i + 1); INVALID_HANDLE_VALUE gives -1.
int IndexOf(HANDLE h) { return static_cast<int>(reinterpret_cast<std::intptr_t>(h) / 4) - 1; }

// Every failure leaves its reason in GetLastError(), as the system does.
struct FakeHid : os::win32::HidApi {
  FakeHid(std::vector<Interface> list, WalkFault fault) : list(std::move(list)), fault(fault) {}

  void* OpenDeviceSet() override {
    if (fault == kNoDeviceSet) return SetLastError(ERROR_ACCESS_DENIED), nullptr;
    return ++setsOpen, this;
  }
  void CloseDeviceSet(void*) override { --setsOpen; }
  bool EnumInterface(void*, unsigned long i) override {
    if (i >= list.size()) return SetLastError(ERROR_NO_MORE_ITEMS), false;
    return list[i].enumFailures-- > 0 ? (SetLastError(ERROR_GEN_FAILURE), false) : true;
  }
  unsigned long DetailSize(void*, unsigned long i) override {
    return fault == kNoDetailSize ? 0 : RecordSize(i);
  }
  bool GetDetail(void*, unsigned long i, void* detail, unsigned long size) override {
    auto* d = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(detail);
    EXPECT_EQ(d->cbSize, sizeof *d);  // 6 in a 32-bit program, whatever the record's size
    if (list[i].quirk == kDetailFails || size < RecordSize(i)) {
      return SetLastError(ERROR_INSUFFICIENT_BUFFER), false;
    }
    wcscpy(d->DevicePath, Path(i).c_str());
    return true;
  }
  void* Allocate(std::size_t bytes) override {
    return fault == kNoMemory ? nullptr : (++allocations, std::malloc(bytes));
  }
  void Free(void* p) override { --allocations, std::free(p); }
  HANDLE OpenPath(const wchar_t* path) override {
    const int i = IndexOf(path);
    if (list[i].quirk == kOpenFails) return SetLastError(ERROR_ACCESS_DENIED), INVALID_HANDLE_VALUE;
    return *open.insert(reinterpret_cast<HANDLE>(4 * (static_cast<std::intptr_t>(i) + 1))).first;
  }
  bool GetAttributes(HANDLE h, os::win32::HidAttributes* a) override {
    const Interface& f = list[IndexOf(h)];
    *a = {f.vendor, f.product, f.version};
    return f.quirk != kAttributesFail;
  }
  // Odd interfaces have a serial number; each is on its own port.
  bool GetSerial(HANDLE h, std::wstring* serial) override {
    *serial = L"SN" + std::to_wstring(IndexOf(h));
    return IndexOf(h) % 2 == 1;
  }
  std::wstring UsbLocation(void*, unsigned long i) override {
    return L"USB(" + std::to_wstring(i) + L")";
  }
  void Close(HANDLE h) override { EXPECT_EQ(open.erase(h), 1u); }
  HANDLE Claim(const wchar_t* path) override {
    if (list[IndexOf(path)].quirk == kHeld) return nullptr;
    return ++claims, reinterpret_cast<HANDLE>(0x1000 + static_cast<std::intptr_t>(IndexOf(path)));
  }
  void Release(HANDLE) override { --claims; }

  std::vector<Interface> list;
  WalkFault fault;
  int setsOpen = 0, allocations = 0, claims = 0;
  std::set<HANDLE> open;
};

// The first free reader, the one at a path, or every one that opens (taking
// none); a held one is named. Only the handle handed back and its claim stay.
TEST(HidSearch, FindsTheReaderAndStopsWhereItMust) {
  const std::vector<Interface> mixed = {
      {0x046D, 0x0001, 0x0205}, Reader(), Reader(kHeld), Reader(kOpenFails), Reader()};
  const std::vector<std::wstring> all = {Path(1) + L" SN1 USB(1)", Path(2) + L"  USB(2)",
                                         Path(4) + L"  USB(4)"};
  struct Case {
    const char* what;
    std::vector<Interface> list;
    int found;  // index of the interface handed back, -1 for none
    std::wstring held = L"", only = L"";
    WalkFault fault = kNoFault;
    std::vector<std::wstring> listed = {};  // asked for when not empty
  } cases[] = {
      {"vendor, product and version must all match",
       {{0x046D, 0x0001, 0x0205}, {0x0755, 0x0002, 0x0205}, {0x0755, 0x0001, 0x0206}, Reader()},
       3},
      {"the first free one", {Reader(kOpenFails), Reader(kHeld), Reader(), Reader()}, 2},
      {"all held: the first is named", {Reader(kHeld), Reader(kHeld)}, -1, Path(0)},
      {"unreadable attributes stop", {Reader(kAttributesFail), Reader()}, -1},
      {"an unreadable detail record stops", {Reader(kDetailFails), Reader()}, -1},
      {"enumeration retried below the limit", {{1, 2, 3}, Reader(kFine, kMaxEnumFailures - 1)}, 1},
      {"enumeration ends at the limit", {Reader(kFine, kMaxEnumFailures), Reader()}, -1},
      {"no device set", {Reader()}, -1, L"", L"", kNoDeviceSet},
      {"no memory for the detail record", {Reader()}, -1, L"", L"", kNoMemory},
      {"detail size not reported", {Reader()}, -1, L"", L"", kNoDetailSize},
      {"every reader, serial number and port", mixed, -1, L"", L"", kNoFault, all},
      {"one path, in any case", mixed, 4, L"", L"\\\\?\\HID#4"},
      {"not a reader", mixed, -1, L"", Path(0)},
  };
  for (const auto& c : cases) {
    FakeHid hid(c.list, c.fault);
    std::vector<os::win32::ListedReader> readers;
    os::win32::SearchFor what;
    if (!c.only.empty()) what.onlyPath = c.only.c_str();
    if (!c.listed.empty()) what.every = &readers;
    const os::win32::FoundReader found = os::win32::FindReader(hid, what);
    std::vector<std::wstring> listed;
    for (const auto& r : readers) listed.push_back(r.path + L" " + r.serial + L" " + r.location);
    EXPECT_EQ(IndexOf(found.device), c.found) << c.what;
    EXPECT_EQ(found.heldPath, c.held) << c.what;
    EXPECT_EQ(listed, c.listed) << c.what;
    const int kept = c.found >= 0;
    EXPECT_EQ((std::vector<int>{int(hid.open.size()), hid.claims, hid.setsOpen, hid.allocations}),
              (std::vector<int>{kept, kept, 0, 0}))
        << c.what;
  }
}

TEST(Win32Link, FailuresGiveTheWindowsErrorAndLoseNoReport) {
  ScopedEnv timeout("VANTOR_READ_TIMEOUT_MS", "200");
  ReaderPeer peer;
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(DllEraseOfflineData(peer.host()), static_cast<int>(WAIT_TIMEOUT));
  const auto waited = std::chrono::steady_clock::now() - t0;
  EXPECT_TRUE(waited >= 150ms && waited < 3s) << (waited / 1ms) << " ms";

  // The cancelled read took nothing: the next answer arrives whole.
  peer.AnswerFrame(0, {0x61, 0x2E, 0x62});
  char name[VANTOR_ROOM_NAME] = {};
  unsigned length = 0;
  ASSERT_EQ(DllGetOfflineFileName(peer.host(), name, &length), 0);
  EXPECT_EQ(std::string(name, length), "a.b");

  // Never open; -2 is also the thread's pseudo handle, which CloseHandle accepts.
  for (const int handle : {0, -1, -2}) {
    EXPECT_EQ(DllEraseOfflineData(handle), static_cast<int>(ERROR_INVALID_HANDLE)) << handle;
    EXPECT_EQ(DllCloseReader(handle), VANTOR_ERR_CLOSE) << handle;
  }

  // A reader that went away gives the pipe's error, not the time-out.
  peer.CloseReaderSide();
  const std::set<int> pipeErrors = {ERROR_BROKEN_PIPE, ERROR_NO_DATA, ERROR_PIPE_NOT_CONNECTED};
  EXPECT_EQ(pipeErrors.count(DllEraseOfflineData(peer.host())), 1u);
}

TEST(HidSearch, ClaimHoldsThePathInAnyCase) {
  const wchar_t* path = L"\\\\?\\hid#vid_0755&pid_0001#test";
  const HANDLE claim = os::win32::ClaimReaderPath(path);
  ASSERT_NE(claim, nullptr);
  EXPECT_EQ(os::win32::ClaimReaderPath(L"\\\\?\\HID#VID_0755&PID_0001#TEST"), nullptr);
  const HANDLE other = os::win32::ClaimReaderPath(L"\\\\?\\hid#vid_0755&pid_0001#other");
  EXPECT_TRUE(other && CloseHandle(other));
  CloseHandle(claim);
  const HANDLE again = os::win32::ClaimReaderPath(path);
  EXPECT_TRUE(again && CloseHandle(again));
}

}  // namespace
}  // namespace vantor::test
