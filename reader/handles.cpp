// The table of open handles, one mutex for all: entries are looked up for
// every transfer and change only at open and close. The transfers and the
// closes themselves run outside the lock, so one reader's slow read never
// holds up another's.
#include "handles.h"

#include <exception>
#include <map>
#include <mutex>
#include <utility>

namespace vantor {
namespace {

struct Table {
  std::mutex mutex;
  std::map<int, std::shared_ptr<ReaderIo>> open;
};

// Never destroyed: readers may still be open when the process ends.
Table& TheTable() {
  static Table* table = new Table;
  return *table;
}

}  // namespace

int AddReaderHandle(std::unique_ptr<ReaderIo> io) {
  if (!io) return -1;
  const int handle = io->handle();
  if (handle <= 0) {
    io->Close();
    return -1;
  }
  std::shared_ptr<ReaderIo> entry, stale;
  try {
    entry = std::move(io);  // io keeps it when this fails
    Table& table = TheTable();
    std::lock_guard<std::mutex> lock(table.mutex);
    stale = std::exchange(table.open[handle], entry);
  } catch (const std::exception&) {
    // No room: not given out, so closed again.
    if (io) io->Close();
    if (entry) entry->Close();
    return -1;
  }
  if (stale) stale->Forget();
  return handle;
}

std::shared_ptr<ReaderIo> FindReaderHandle(int handle) {
  Table& table = TheTable();
  std::lock_guard<std::mutex> lock(table.mutex);
  const auto it = table.open.find(handle);
  return it == table.open.end() ? nullptr : it->second;
}

bool CloseReaderHandle(int handle) {
  std::shared_ptr<ReaderIo> io;
  {
    Table& table = TheTable();
    std::lock_guard<std::mutex> lock(table.mutex);
    const auto it = table.open.find(handle);
    if (it == table.open.end()) return false;
    io = std::move(it->second);
    // Unregistered before the close, so that a handle the OS gives the same
    // value next is registered anew and not mistaken for this one.
    table.open.erase(it);
  }
  return io->Close();
}

}  // namespace vantor
