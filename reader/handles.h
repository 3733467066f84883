// The open reader handles. Each handle the library gives out is registered
// here with its own io: how to write one report to its reader, read one
// back within a time-out, and close it, together with whatever else the
// handle holds (a claim on the device, the emulated reader's link). The
// transport and the exported functions reach a reader only through its
// io; a handle that is not registered is not open.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace vantor {

class ReaderIo {
 public:
  // handle: the value the caller is given, greater than 0.
  explicit ReaderIo(int handle) : handle_(handle) {}
  ReaderIo(const ReaderIo&) = delete;
  ReaderIo& operator=(const ReaderIo&) = delete;
  // Releases what Close or Forget has not released, the handle too.
  virtual ~ReaderIo() = default;

  int handle() const { return handle_; }

  // Writes one whole 64-byte report; false with *error, the OS error.
  virtual bool Write(const std::uint8_t report[64], int* error) = 0;
  // Reads one report into report[0..63], waiting at most timeoutMs; *got
  // is the count the OS delivered (more than 0). A time-out fails with
  // ETIMEDOUT (Windows: WAIT_TIMEOUT), a reader that is gone with an error
  // too; false with *error, the OS error.
  virtual bool Read(std::uint8_t report[64], std::size_t* got, int timeoutMs, int* error) = 0;
  // Closes the handle and releases what else it holds; true on success.
  // Called once; the io is not used afterwards.
  virtual bool Close() = 0;
  // The handle was closed behind the library's back, so its value may name
  // another handle by now: releases what else it holds, never the handle.
  virtual void Forget() {}

 private:
  const int handle_;
};

// Registers an opened handle's io: the handle's value, or -1 when io is
// null or its value cannot be a handle (0 and below mean "no reader" to
// the callers) or there is no room (io is then closed). An entry still
// registered under the same value is one whose handle was closed without
// CloseHandle: it is forgotten.
int AddReaderHandle(std::unique_ptr<ReaderIo> io);

// The io of an open handle, null when handle is not open. It stays usable
// while held, even when another thread closes the handle meanwhile.
std::shared_ptr<ReaderIo> FindReaderHandle(int handle);

// Unregisters the handle, then closes it with its own io; false when it
// was not open or its close failed.
bool CloseReaderHandle(int handle);

}  // namespace vantor
