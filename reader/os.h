// The one seam between the reader link and the operating system: find and
// list the readers, and open one as a handle with its io (handles.h): write
// and read one 64-byte report, close. One implementation file per OS
// (os_linux.cpp, os_win32.cpp).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "handles.h"

namespace vantor::os {

constexpr int kInvalidHandle = -1;

// Opens the first attached reader that no other program holds, and holds
// it until its io closes it; null when none is found, with *heldPath
// naming a reader that another program holds (empty when none was).
std::unique_ptr<ReaderIo> FindReaderDevice(std::string* heldPath);

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

// Opens the attached reader at path and holds it until its io closes it;
// null when it does not open, with *inUse telling whether another program
// holds it.
std::unique_ptr<ReaderIo> OpenDevice(const std::string& path, bool* inUse);

// The io of a handle opened elsewhere that carries one report per message:
// the host end of the emulated reader's link (a socket; on Windows a named
// pipe opened for overlapped I/O), or a test's. Its Close closes the handle.
std::unique_ptr<ReaderIo> MessageIo(int handle);

// The OS error for a handle that is not open: EBADF (Windows:
// ERROR_INVALID_HANDLE).
int NotOpenError();

// The read time-out in milliseconds (VANTOR_READ_TIMEOUT_MS or 10000).
int ReadTimeoutMs();

}  // namespace vantor::os
