// Windows side of the OS seam: the reader handle is the HANDLE of the
// opened HID device interface (or of the emulated reader's named pipe)
// carried in the int; one 64-byte report per write and per read.
//
// Handles are opened for overlapped I/O so that a read can be bounded by
// the read time-out; each transfer still waits for its own completion, so
// the callers see synchronous writes and reads.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <cstddef>
#include <string>
#include <exception>

#include "hid_search_win32.h"
#include "os.h"
#include "utf16_win32.h"
#include "vantor/reader.h"

namespace vantor::os {

namespace {

bool Fail(DWORD code, int* error) {
  *error = static_cast<int>(code);
  return false;
}

HANDLE ToHandle(int handle) { return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(handle)); }

// One overlapped transfer of 64 bytes, waited for up to timeoutMs. On a
// time-out the transfer is cancelled and waited for, so the buffer is never
// touched after the return.
bool Transfer(HANDLE h, bool write, std::uint8_t* buffer, int timeoutMs, std::size_t* done,
              int* failure) {
  OVERLAPPED overlapped{};
  overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (overlapped.hEvent == nullptr) return Fail(GetLastError(), failure);
  DWORD count = 0;
  const BOOL started = write ? WriteFile(h, buffer, 64, nullptr, &overlapped)
                             : ReadFile(h, buffer, 64, nullptr, &overlapped);
  DWORD error = started ? ERROR_SUCCESS : GetLastError();
  bool ok = false;
  if (started || error == ERROR_IO_PENDING) {
    const DWORD waited = WaitForSingleObject(overlapped.hEvent, static_cast<DWORD>(timeoutMs));
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
  if (!ok) return Fail(error, failure);
  *done = count;
  return true;
}

// One HANDLE opened for overlapped I/O as a reader handle, with the claim
// (the named mutex of its device path) that keeps other programs off the
// device until it closes; a handle opened elsewhere has none.
class DeviceIo : public ReaderIo {
 public:
  DeviceIo(HANDLE device, HANDLE claim)
      : ReaderIo(static_cast<int>(reinterpret_cast<std::intptr_t>(device))), claim_(claim) {}
  ~DeviceIo() override {
    if (open_.exchange(false)) ::CloseHandle(ToHandle(handle()));
    ReleaseClaim();
  }

  bool Write(const std::uint8_t report[64], int* error) override {
    std::uint8_t buffer[64];
    std::memcpy(buffer, report, sizeof buffer);
    // A successful write is the whole report, whatever count the HID driver
    // reports: some report one byte less (the report ID), e.g. Wine's hidraw
    // bus says 63 for 64.
    std::size_t written = 0;
    return Transfer(ToHandle(handle()), true, buffer, ReadTimeoutMs(), &written, error);
  }

  bool Read(std::uint8_t report[64], std::size_t* got, int timeoutMs, int* error) override {
    std::size_t count = 0;
    if (!Transfer(ToHandle(handle()), false, report, timeoutMs, &count, error)) return false;
    if (count == 0) return Fail(ERROR_HANDLE_EOF, error);  // the reader is gone
    *got = count;
    return true;
  }

  bool Close() override {
    const bool closed = open_.exchange(false) && ::CloseHandle(ToHandle(handle())) != FALSE;
    ReleaseClaim();
    return closed;
  }
  void Forget() override {
    open_ = false;
    ReleaseClaim();
  }

 private:
  void ReleaseClaim() {
    if (const HANDLE claim = claim_.exchange(nullptr)) ::CloseHandle(claim);
  }

  std::atomic<bool> open_{true};
  std::atomic<HANDLE> claim_;
};

// A string from the HID stack as UTF-8, up to its first NUL.
std::string Utf8(const std::wstring& wide) { return text::Utf8FromUtf16(wide.c_str()); }

// A found reader's io, holding its claim until it closes; null when none
// was found or it cannot be kept.
std::unique_ptr<ReaderIo> Keep(const win32::FoundReader& found) {
  if (found.device == INVALID_HANDLE_VALUE) return nullptr;
  try {
    return std::make_unique<DeviceIo>(found.device, found.claim);
  } catch (const std::exception&) {
    ::CloseHandle(found.device);
    ::CloseHandle(found.claim);
    return nullptr;
  }
}

}  // namespace

std::unique_ptr<ReaderIo> FindReaderDevice(std::string* heldPath) {
  heldPath->clear();
  const win32::FoundReader found = win32::FindAttachedReader();
  if (found.device == INVALID_HANDLE_VALUE) *heldPath = Utf8(found.heldPath);
  return Keep(found);
}

std::vector<ReaderDevice> ListDevices(bool probe) {
  std::vector<win32::ListedReader> listed;
  win32::SearchFor what;
  what.every = &listed;
  win32::FindAttachedReader(what);
  std::vector<ReaderDevice> devices;
  for (const auto& reader : listed) {
    ReaderDevice device;
    device.path = Utf8(reader.path);
    device.vendor = VANTOR_VENDOR_ID;
    device.product = VANTOR_PRODUCT_ID;
    device.version = VANTOR_VERSION;
    device.serial = Utf8(reader.serial);
    device.usbPath = Utf8(reader.location);
    if (probe) {
      const HANDLE claim = win32::ClaimReaderPath(reader.path.c_str());
      device.inUse = claim == nullptr;
      if (claim != nullptr) ::CloseHandle(claim);
    }
    devices.push_back(device);
  }
  return devices;
}

std::unique_ptr<ReaderIo> OpenDevice(const std::string& path, bool* inUse) {
  *inUse = false;
  // Up to the path's first NUL; a path that is not UTF-8 names no reader.
  std::wstring wide;
  if (!text::ToUtf16(path.c_str(), text::CodePage::kUtf8, /*strict=*/true, &wide) || wide.empty()) {
    return nullptr;
  }
  win32::SearchFor what;
  what.onlyPath = wide.c_str();
  const win32::FoundReader found = win32::FindAttachedReader(what);
  *inUse = found.device == INVALID_HANDLE_VALUE && !found.heldPath.empty();
  return Keep(found);
}

std::unique_ptr<ReaderIo> MessageIo(int handle) {
  return std::make_unique<DeviceIo>(ToHandle(handle), nullptr);
}

int NotOpenError() { return ERROR_INVALID_HANDLE; }

}  // namespace vantor::os
