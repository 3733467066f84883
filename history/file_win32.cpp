// The history's place and its appender on Windows: LockFileEx, a handle
// opened for appending only (FILE_APPEND_DATA), FlushFileBuffers.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstdlib>

#include "appender.h"
#include "os_error.h"
#include "place.h"
#include "record.h"
#include "utf16_win32.h"

namespace vantor::history {

using text::OsErrorWithCode;
using text::Utf16FromUtf8;
using text::Utf8FromUtf16;

namespace {

std::string Env(const wchar_t* name) {
  wchar_t value[32768];
  const DWORD n = GetEnvironmentVariableW(name, value, 32768);
  return n > 0 && n < 32768 ? Utf8FromUtf16(std::wstring_view(value, n)) : "";
}

// Makes the missing folders above path; what fails shows when the file is
// opened.
void MakeParents(const std::wstring& path) {
  for (std::size_t i = path.find_first_of(L"\\/", 1); i != std::wstring::npos;
       i = path.find_first_of(L"\\/", i + 1)) {
    CreateDirectoryW(path.substr(0, i).c_str(), nullptr);
  }
}

HANDLE Handle(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

// What an open handle is when it is no regular file on a disk ("" otherwise):
// the history is never used through a link (it is opened with
// FILE_FLAG_OPEN_REPARSE_POINT), nor as a pipe or a device such as NUL.
std::string NotRegular(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &info)) {
    return "is not a regular file";
  }
  if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    return "is a symbolic link; the history is not used through a link";
  }
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return "is a directory, not a regular file";
  return "";
}

}  // namespace

Place Locate(bool noHistory, bool window) {
  Place place;
  const std::string named = Env(L"VANTOR_HISTORY");
  if (noHistory || named == "off") return place;
  if (!named.empty()) {
    place.file = named;
    return place;
  }
  if (window) return place;
  std::string base = Env(L"LOCALAPPDATA");
  while (!base.empty() && (base.back() == '\\' || base.back() == '/')) base.pop_back();
  if (base.empty()) {
    place.error =
        "the download history has no place: LOCALAPPDATA is not set (VANTOR_HISTORY=FILE names "
        "one, VANTOR_HISTORY=off turns the history off)";
    return place;
  }
  place.file = base + "\\VantorTool\\history.jsonl";
  place.privateFolders = true;
  return place;
}

Appender::~Appender() {
  if (handle_ != -1) CloseHandle(Handle(handle_));
}

bool Appender::Fail(std::string* error, const std::string& reason) const {
  if (error) *error = "cannot write the download history " + file_ + ": " + reason;
  return false;
}

bool Appender::Open(const Place& place, std::string* error) {
  std::lock_guard<std::mutex> guard(lock_);
  if (handle_ != -1) CloseHandle(Handle(handle_));
  handle_ = -1;
  file_ = place.file;
  privateFolders_ = place.privateFolders;
  if (file_.empty()) return Fail(error, "no file named");
  // Only looked at: the file and its folders are made by the first record.
  // What is there is opened as it is (never created) to see what it is.
  const HANDLE file =
      CreateFileW(Utf16FromUtf8(file_).c_str(), FILE_APPEND_DATA | GENERIC_READ,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return true;
    return Fail(error, OsErrorWithCode(static_cast<int>(code)));
  }
  const std::string refusal = NotRegular(file);
  CloseHandle(file);
  return refusal.empty() || Fail(error, refusal);
}

bool Appender::OpenFile(std::string* error) {
  if (file_.empty()) return Fail(error, OsErrorWithCode(ERROR_INVALID_HANDLE));
  const std::wstring path = Utf16FromUtf8(file_);
  MakeParents(path);
  // Without FILE_WRITE_DATA every write goes to the end of the file; read
  // access lets LockFileEx lock it and Append see whether the last line
  // was ended.
  const HANDLE file =
      CreateFileW(path.c_str(), FILE_APPEND_DATA | GENERIC_READ,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return Fail(error, OsErrorWithCode(static_cast<int>(GetLastError())));
  }
  if (const std::string refusal = NotRegular(file); !refusal.empty()) {
    CloseHandle(file);
    return Fail(error, refusal);
  }
  handle_ = reinterpret_cast<std::intptr_t>(file);
  return true;
}

bool Appender::Append(const std::string& line, std::string* error, bool sync) {
  return Append(std::vector<std::string>{line}, error, sync);
}

bool Appender::Append(const std::vector<std::string>& lines, std::string* error, bool sync) {
  std::lock_guard<std::mutex> guard(lock_);
  if (handle_ == -1 && !OpenFile(error)) return false;
  const HANDLE file = Handle(handle_);
  OVERLAPPED whole{};
  if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole)) {
    return Fail(error, OsErrorWithCode(static_cast<int>(GetLastError())));
  }
  std::string text;
  LARGE_INTEGER size{};
  if (GetFileSizeEx(file, &size) && size.QuadPart > 0) {
    OVERLAPPED at{};
    const ULONGLONG last = static_cast<ULONGLONG>(size.QuadPart - 1);
    at.Offset = static_cast<DWORD>(last);
    at.OffsetHigh = static_cast<DWORD>(last >> 32);
    char byte = '\n';
    DWORD read = 0;
    if (ReadFile(file, &byte, 1, &read, &at) && read == 1 && byte != '\n') text = "\n";
  }
  for (const auto& line : lines) text += line + '\n';
  DWORD failed = 0;
  for (std::size_t done = 0; done < text.size() && failed == 0;) {
    DWORD written = 0;
    if (!WriteFile(file, text.data() + done, static_cast<DWORD>(text.size() - done), &written,
                   nullptr)) {
      failed = GetLastError();
    }
    done += written;
  }
  UnlockFileEx(file, 0, MAXDWORD, MAXDWORD, &whole);
  if (failed == 0 && sync && !FlushFileBuffers(file)) failed = GetLastError();
  return failed == 0 || Fail(error, OsErrorWithCode(static_cast<int>(failed)));
}

std::FILE* OpenForReading(const std::string& path, std::string* refusal) {
  refusal->clear();
  const HANDLE file =
      CreateFileW(Utf16FromUtf8(path).c_str(), GENERIC_READ,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    errno = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ? ENOENT : EACCES;
    return nullptr;
  }
  if (!(*refusal = NotRegular(file)).empty()) {
    CloseHandle(file);
    return nullptr;
  }
  const int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(file), _O_RDONLY | _O_BINARY);
  if (fd < 0) {
    CloseHandle(file);
    return nullptr;
  }
  std::FILE* stream = _fdopen(fd, "rb");
  if (stream == nullptr) _close(fd);
  return stream;
}

std::string HostName() {
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD n = MAX_COMPUTERNAME_LENGTH + 1;
  return GetComputerNameW(name, &n) ? Utf8FromUtf16(std::wstring_view(name, n)) : "";
}

}  // namespace vantor::history
