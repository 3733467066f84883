// The reader a job talks to: which one to open, and its handle while open.
#pragma once

#include <string>

namespace vantor::app {

class ReaderSlot {
 public:
  // path: "" for the first reader that opens, else the one at this path
  // (as DllListReaders names it).
  explicit ReaderSlot(std::string path = "") : path_(std::move(path)) {}

  const std::string& Path() const { return path_; }
  void SetPath(std::string path) { path_ = std::move(path); }

  // The handle: 0 when closed, VANTOR_ERR_NO_READER or VANTOR_ERR_BUSY
  // after an open that failed, otherwise the open reader's.
  int Handle() const { return handle_; }
  bool IsOpen() const;
  // Takes over a handle opened elsewhere (the command line opens every
  // reader of a batch before any download starts).
  void Adopt(int handle);
  // Opens the reader unless it is open: the one at Path(), or the first in
  // search order that opens and no other program holds. false when none
  // opened; LastOpenResult() then tells why.
  bool OpenIfNeeded();
  // The path of the reader opened last; after a failed open of the first
  // free reader, a reader another program holds ("" when none was held).
  const std::string& OpenedPath() const { return opened_; }
  // Closes an open reader; the handle is 0 afterwards.
  void Close();

  // What the last open returned: a handle, VANTOR_ERR_NO_READER or
  // VANTOR_ERR_BUSY (0 before any open).
  int LastOpenResult() const { return openResult_; }
  // Whether the last close failed (the emulated reader: its state could
  // not be written).
  bool CloseFailed() const { return closeFailed_; }

 private:
  std::string path_;
  std::string opened_;
  int handle_ = 0;
  int openResult_ = 0;
  bool closeFailed_ = false;
};

}  // namespace vantor::app
