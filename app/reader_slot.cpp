#include "reader_slot.h"

#include "readers.h"
#include "vantor/reader.h"

namespace vantor::app {

bool ReaderSlot::IsOpen() const {
  return handle_ != 0 && handle_ != VANTOR_ERR_NO_READER && handle_ != VANTOR_ERR_BUSY;
}

void ReaderSlot::Adopt(int handle) {
  handle_ = handle;
  openResult_ = handle;
  closeFailed_ = false;
}

bool ReaderSlot::OpenIfNeeded() {
  if (IsOpen()) return true;
  opened_ = path_;
  if (!path_.empty()) {
    handle_ = DllOpenReaderPath(path_.c_str());
  } else {
    // As DllOpenReader, but knowing which reader it took.
    std::string held;
    handle_ = VANTOR_ERR_NO_READER;
    for (const auto& reader : ListReaders(false)) {
      if (!reader.duplicateOf.empty()) continue;
      const int handle = OpenReaderAt(reader.path);
      if (handle > 0) {
        handle_ = handle;
        opened_ = reader.path;
        break;
      }
      if (handle == VANTOR_ERR_BUSY && held.empty()) held = reader.path;
    }
    if (!IsOpen()) opened_ = held;
  }
  // A search that found only held readers leaves the handle "no reader",
  // as DllOpenReader does, and tells why in the open result.
  openResult_ = path_.empty() && !IsOpen() && !opened_.empty() ? VANTOR_ERR_BUSY : handle_;
  return IsOpen();
}

void ReaderSlot::Close() {
  if (IsOpen()) {
    closeFailed_ = DllCloseReader(handle_) != VANTOR_OK;
    handle_ = 0;
  }
}

}  // namespace vantor::app
