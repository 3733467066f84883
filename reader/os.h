// The one seam between the reader link and the operating system: find the
// reader, write and read one 64-byte report, close, last OS error. One
// implementation file per OS (os_linux.cpp, os_win32.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vantor::os {

constexpr int kInvalidHandle = -1;

// Opens the first attached reader that no other program holds, and holds
// it until CloseHandle; kInvalidHandle when none is found, with *heldPath
// naming a reader that another program holds (empty when none was).
int FindReaderDevice(std::string* heldPath);

// One attached reader as the search sees it.
struct ReaderDevice {
  std::string path;  // hidraw node, device interface path (UTF-8), or state file
  unsigned vendor = 0;
  unsigned product = 0;
  unsigned version = 0;
  std::string serial;   // USB serial number string (UTF-8), "" when it has none
  std::string usbPath;  // the USB port it is plugged into, "" when not known
  bool inUse = false;   // probed: another program holds it
  int openError = 0;    // probed: the OS error of a trial open (0: it opens)
  // An emulated reader whose state file an earlier entry names too: that
  // entry's path (the same reader); empty for every other reader.
  std::string duplicateOf;
  // probed: why an emulated reader's state file cannot be used ("" when it can).
  std::string problem;
};

// The attached readers in search order; with probe, each is opened once
// (and closed) to fill inUse and openError.
std::vector<ReaderDevice> ListDevices(bool probe);

// Opens the attached reader at path and holds it until CloseHandle;
// kInvalidHandle when it does not open, with *inUse telling whether
// another program holds it.
int OpenDevice(const std::string& path, bool* inUse);

// Writes one whole 64-byte report. false: LastError() tells why.
bool WriteReport(int handle, const std::uint8_t report[64]);

// Reads one report into report[0..63]; *bytesRead gets the count the OS
// delivered. Waits at most VANTOR_READ_TIMEOUT_MS (default 10 s); a timeout
// fails with ETIMEDOUT (Windows: WAIT_TIMEOUT). false: LastError() tells why.
bool ReadReport(int handle, std::uint8_t report[64], std::size_t* bytesRead);

// Closes the handle; true on success.
bool CloseHandle(int handle);

// The OS error code of the last failed call of this thread (positive).
int LastError();

// The read time-out in milliseconds (VANTOR_READ_TIMEOUT_MS or 10000).
int ReadTimeoutMs();

}  // namespace vantor::os
