// Windows side of the OS seam: the reader handle is the HANDLE of the
// opened HID device interface (or of the emulated reader's named pipe)
// carried in the int; one 64-byte report per write and per read.
//
// Handles are opened for overlapped I/O so that a read can be bounded by
// the read time-out; each transfer still waits for its own completion, so
// the callers see synchronous writes and reads.
#include <windows.h>
#include <setupapi.h>
extern "C" {
#include <hidsdi.h>
}

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cstddef>

#include "emulator/sim_link.h"
#include "reader/hid_search_win32.h"
#include "reader/os.h"

namespace vantor::os {
namespace win32 {
namespace {

class SystemApi : public HidApi {
 public:
  void* OpenDeviceSet() override {
    HidD_GetHidGuid(&guid_);
    HDEVINFO set = SetupDiGetClassDevsW(&guid_, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    return set == INVALID_HANDLE_VALUE ? nullptr : set;
  }
  void CloseDeviceSet(void* set) override { SetupDiDestroyDeviceInfoList(set); }
  bool EnumInterface(void* set, unsigned long index) override {
    interface_ = SP_DEVICE_INTERFACE_DATA{};
    interface_.cbSize = sizeof interface_;
    return SetupDiEnumDeviceInterfaces(set, nullptr, &guid_, index, &interface_) != FALSE;
  }
  unsigned long DetailSize(void* set, unsigned long) override {
    DWORD size = 0;
    SetupDiGetDeviceInterfaceDetailW(set, &interface_, nullptr, 0, &size, nullptr);
    return size;
  }
  bool GetDetail(void* set, unsigned long, void* detail, unsigned long size) override {
    return SetupDiGetDeviceInterfaceDetailW(
               set, &interface_, static_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(detail),
               size, nullptr, nullptr) != FALSE;
  }
  void* Allocate(std::size_t bytes) override { return std::malloc(bytes); }
  void Free(void* p) override { std::free(p); }
  HANDLE OpenPath(const wchar_t* path) override {
    return CreateFileW(path, GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED, nullptr);
  }
  bool GetAttributes(HANDLE device, HidAttributes* attributes) override {
    HIDD_ATTRIBUTES a{};
    a.Size = sizeof a;
    if (!HidD_GetAttributes(device, &a)) return false;
    attributes->vendor = a.VendorID;
    attributes->product = a.ProductID;
    attributes->version = a.VersionNumber;
    return true;
  }
  void Close(HANDLE device) override { ::CloseHandle(device); }

 private:
  GUID guid_{};
  SP_DEVICE_INTERFACE_DATA interface_{};
};

constexpr unsigned short kVendor = 0x0755;
constexpr unsigned short kProduct = 0x0001;
constexpr unsigned short kVersion = 0x0205;

}  // namespace

HANDLE FindReader(HidApi& api) {
  void* set = api.OpenDeviceSet();
  if (set == nullptr) return INVALID_HANDLE_VALUE;
  HANDLE found = INVALID_HANDLE_VALUE;
  unsigned long index = 0;
  int failures = 0;
  for (;;) {
    if (!api.EnumInterface(set, index)) {
      if (GetLastError() == ERROR_NO_MORE_ITEMS || ++failures >= kMaxEnumFailures) break;
      continue;  // the same index again
    }
    failures = 0;
    // The record is never smaller than its fixed part, whose size field
    // is written before the call.
    const unsigned long reported = api.DetailSize(set, index);
    const unsigned long size = reported < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)
                                   ? sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)
                                   : reported;
    auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(api.Allocate(size));
    if (detail == nullptr) break;
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (!api.GetDetail(set, index, detail, size)) {
      api.Free(detail);
      break;
    }
    // The path is used only if the record holds its terminator.
    const std::size_t chars = (size - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath)) /
                              sizeof(wchar_t);
    detail->DevicePath[chars - 1] = L'\0';
    const HANDLE device = api.OpenPath(detail->DevicePath);
    api.Free(detail);
    if (device == INVALID_HANDLE_VALUE) {
      ++index;
      continue;
    }
    HidAttributes attributes;
    if (!api.GetAttributes(device, &attributes)) {
      api.Close(device);
      break;
    }
    if (attributes.vendor == kVendor && attributes.product == kProduct &&
        attributes.version == kVersion) {
      found = device;
      break;
    }
    api.Close(device);
    ++index;
  }
  api.CloseDeviceSet(set);
  return found;
}

}  // namespace win32

namespace {

thread_local int t_lastError = 0;

bool Fail(DWORD error) {
  t_lastError = static_cast<int>(error);
  return false;
}

HANDLE ToHandle(int handle) {
  return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(handle));
}

// 0 (not open), -1 (the OS's invalid value) and -2 (no reader) are never
// open handles; -2 is also the current thread's pseudo handle, which must
// not be written to or "closed" with success.
bool IsReaderHandle(int handle) { return handle != 0 && handle != -1 && handle != -2; }

// One overlapped transfer of 64 bytes, waited for up to the read time-out.
// On a time-out the transfer is cancelled and waited for, so the buffer is
// never touched after the return.
bool Transfer(int handle, bool write, std::uint8_t* buffer, std::size_t* done) {
  if (!IsReaderHandle(handle)) return Fail(ERROR_INVALID_HANDLE);
  const HANDLE h = ToHandle(handle);
  OVERLAPPED overlapped{};
  overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (overlapped.hEvent == nullptr) return Fail(GetLastError());
  DWORD count = 0;
  const BOOL started = write ? WriteFile(h, buffer, 64, nullptr, &overlapped)
                             : ReadFile(h, buffer, 64, nullptr, &overlapped);
  DWORD error = started ? ERROR_SUCCESS : GetLastError();
  bool ok = false;
  if (started || error == ERROR_IO_PENDING) {
    const DWORD waited = WaitForSingleObject(overlapped.hEvent, static_cast<DWORD>(ReadTimeoutMs()));
    if (waited == WAIT_OBJECT_0) {
      ok = GetOverlappedResult(h, &overlapped, &count, FALSE) != FALSE;
      if (!ok) error = GetLastError();
    } else {
      const DWORD waitError = waited == WAIT_TIMEOUT ? WAIT_TIMEOUT : GetLastError();
      CancelIoEx(h, &overlapped);
      // A transfer that completed before the cancel took effect counts.
      ok = GetOverlappedResult(h, &overlapped, &count, TRUE) != FALSE;
      error = waitError;
    }
  }
  ::CloseHandle(overlapped.hEvent);
  if (!ok) return Fail(error);
  *done = count;
  return true;
}

}  // namespace

int FindReaderDevice() {
  const char* sim = std::getenv("VANTOR_READER_SIM");
  if (sim && *sim) {
    const int handle = sim::OpenLink(sim);
    return handle < 0 || !IsReaderHandle(handle) ? kInvalidHandle : handle;
  }
  win32::SystemApi api;
  const HANDLE device = win32::FindReader(api);
  if (device == INVALID_HANDLE_VALUE) return kInvalidHandle;
  const int handle = static_cast<int>(reinterpret_cast<std::intptr_t>(device));
  if (!IsReaderHandle(handle)) {
    ::CloseHandle(device);
    return kInvalidHandle;
  }
  return handle;
}

bool WriteReport(int handle, const std::uint8_t report[64]) {
  std::uint8_t buffer[64];
  std::memcpy(buffer, report, sizeof buffer);
  // A successful write is the whole report, whatever count the HID driver
  // reports: some report one byte less (the report ID), e.g. Wine's hidraw
  // bus says 63 for 64.
  std::size_t written = 0;
  return Transfer(handle, true, buffer, &written);
}

bool ReadReport(int handle, std::uint8_t report[64], std::size_t* bytesRead) {
  std::size_t got = 0;
  if (!Transfer(handle, false, report, &got)) return false;
  if (got == 0) return Fail(ERROR_HANDLE_EOF);  // the reader is gone
  *bytesRead = got;
  return true;
}

bool CloseHandle(int handle) {
  bool closed = false;
  if (sim::CloseLink(handle, &closed)) return closed;
  if (!IsReaderHandle(handle)) return Fail(ERROR_INVALID_HANDLE);
  if (!::CloseHandle(ToHandle(handle))) return Fail(GetLastError());
  return true;
}

int LastError() { return t_lastError; }

}  // namespace vantor::os
