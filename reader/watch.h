// Readers coming and going, for a program that serves each reader as it is
// plugged in. The attached readers are watched through the OS's own device
// notifications (Linux: a udev monitor on hidraw; Windows: device interface
// arrival and removal for the HID class); the emulated ones, when
// VANTOR_READER_SIM is set, through its entries: a state file is a reader
// attached for the whole watch, a folder holds one reader per regular *.json
// file in it, which is plugged in when the file appears and unplugged when
// it goes.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace vantor {

struct PlugEvent {
  enum class Kind { kAttached, kDetached };
  Kind kind = Kind::kAttached;
  std::string path;  // the reader as ListReaders names it
};

class ReaderWatch {
 public:
  virtual ~ReaderWatch() = default;
  // Waits at most timeoutMs for readers plugged in or unplugged and appends
  // what it saw, in the order it happened, returning as soon as there is
  // something (0 only looks). The first call reports every matching reader
  // attached when the watch began, at once. A reader is reported attached
  // only when it was not (a file rewritten in place is no plug, nor the
  // emulator writing back the state of a reader pulled while open),
  // detached only when it was. false when the watch cannot go on, with *error
  // saying why (a folder of state files is gone: "folder PATH: it was
  // deleted"); what came before is still appended, and every later call
  // fails alike. One thread at a time.
  virtual bool Wait(int timeoutMs, std::vector<PlugEvent>* events, std::string* error) = 0;
};

// Watches the emulated readers when VANTOR_READER_SIM is set, the attached
// ones otherwise; null, with *error, when it cannot.
std::unique_ptr<ReaderWatch> WatchReaders(std::string* error);

}  // namespace vantor
