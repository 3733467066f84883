#include "reader.h"

#include "vantor/reader.h"

namespace vantor::app {

bool Reader::IsOpen() const {
  return handle_ != 0 && handle_ != VANTOR_ERR_NO_READER && handle_ != VANTOR_ERR_BUSY;
}

void Reader::Adopt(int handle) {
  handle_ = handle;
  openResult_ = handle;
  closeFailed_ = false;
}

bool Reader::OpenIfNeeded() {
  if (!IsOpen()) {
    handle_ = path_.empty() ? DllOpenReader() : DllOpenReaderPath(path_.c_str());
    openResult_ = handle_;
  }
  return IsOpen();
}

void Reader::Close() {
  if (IsOpen()) {
    closeFailed_ = DllCloseReader(handle_) != VANTOR_OK;
    handle_ = 0;
  }
}

}  // namespace vantor::app
