// Windows side of the OS seam: the reader handle is the HANDLE of the
// opened HID device interface (or of the emulated reader's named pipe)
// carried in the int; one 64-byte report per write and per read.
//
// Handles are opened for overlapped I/O so that a read can be bounded by
// the read time-out; each transfer still waits for its own completion, so
// the callers see synchronous writes and reads.
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <exception>

#include "hid_search_win32.h"
#include "os.h"
#include "utf16_win32.h"
#include "vantor/reader.h"

namespace vantor::os {

namespace {

thread_local int t_lastError = 0;

bool Fail(DWORD error) {
  t_lastError = static_cast<int>(error);
  return false;
}

HANDLE ToHandle(int handle) { return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(handle)); }

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
    const DWORD waited =
        WaitForSingleObject(overlapped.hEvent, static_cast<DWORD>(ReadTimeoutMs()));
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

// The claims of the open readers, released when their handles close.
struct Claims {
  std::mutex mutex;
  std::map<int, HANDLE> byHandle;
};

// Never destroyed: readers may still be open when the process ends.
Claims& TheClaims() {
  static Claims* claims = new Claims;
  return *claims;
}

void ReleaseClaim(int handle) {
  Claims& claims = TheClaims();
  HANDLE claim = nullptr;
  {
    std::lock_guard<std::mutex> lock(claims.mutex);
    const auto it = claims.byHandle.find(handle);
    if (it == claims.byHandle.end()) return;
    claim = it->second;
    claims.byHandle.erase(it);
  }
  ::CloseHandle(claim);
}

// A string from the HID stack as UTF-8, up to its first NUL.
std::string Utf8(const std::wstring& wide) { return text::Utf8FromUtf16(wide.c_str()); }

// A found reader as the int handle, its claim kept until it closes;
// kInvalidHandle when none was found or it cannot be kept.
int Keep(const win32::FoundReader& found) {
  if (found.device == INVALID_HANDLE_VALUE) return kInvalidHandle;
  const int handle = static_cast<int>(reinterpret_cast<std::intptr_t>(found.device));
  bool kept = IsReaderHandle(handle);
  if (kept) {
    try {
      std::lock_guard<std::mutex> lock(TheClaims().mutex);
      TheClaims().byHandle[handle] = found.claim;
    } catch (const std::exception&) {
      kept = false;
    }
  }
  if (!kept) {
    ::CloseHandle(found.device);
    ::CloseHandle(found.claim);
    return kInvalidHandle;
  }
  return handle;
}

}  // namespace

int FindReaderDevice(std::string* heldPath) {
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

int OpenDevice(const std::string& path, bool* inUse) {
  *inUse = false;
  // Up to the path's first NUL; a path that is not UTF-8 names no reader.
  std::wstring wide;
  if (!text::ToUtf16(path.c_str(), text::CodePage::kUtf8, /*strict=*/true, &wide) || wide.empty()) {
    return kInvalidHandle;
  }
  win32::SearchFor what;
  what.onlyPath = wide.c_str();
  const win32::FoundReader found = win32::FindAttachedReader(what);
  *inUse = found.device == INVALID_HANDLE_VALUE && !found.heldPath.empty();
  return Keep(found);
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
  if (!IsReaderHandle(handle)) return Fail(ERROR_INVALID_HANDLE);
  const bool closed = ::CloseHandle(ToHandle(handle)) != FALSE;
  const DWORD error = GetLastError();
  if (closed) ReleaseClaim(handle);  // only a handle that was open had one
  if (!closed) return Fail(error);
  return true;
}

int LastError() { return t_lastError; }

}  // namespace vantor::os
