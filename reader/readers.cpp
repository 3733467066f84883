// Several readers: the list in search order, DllListReaders and
// DllOpenReaderPath. Like DllOpenReader, the emulated readers named in
// VANTOR_READER_SIM take the place of the attached ones.
#include "readers.h"

#include <cstdlib>
#include <cstring>
#include <exception>

#include "sim_link.h"
#include "vantor/reader.h"

namespace vantor {
namespace {

#ifdef _WIN32
constexpr char kPathListSeparator = ';';
#else
constexpr char kPathListSeparator = ':';
#endif

}  // namespace

bool EmulatedReaders(std::vector<std::string>* statePaths) {
  statePaths->clear();
  const char* list = std::getenv("VANTOR_READER_SIM");
  if (!list || !*list) return false;
  for (const char* p = list; *p;) {
    const char* end = std::strchr(p, kPathListSeparator);
    if (!end) end = p + std::strlen(p);
    if (end != p) statePaths->emplace_back(p, end);
    p = *end ? end + 1 : end;
  }
  return true;
}

std::vector<os::ReaderDevice> ListReaders(bool probe) {
  std::vector<std::string> emulated;
  if (!EmulatedReaders(&emulated)) return os::ListDevices(probe);
  std::vector<os::ReaderDevice> readers;
  for (const auto& path : emulated) {
    os::ReaderDevice reader;
    reader.path = path;
    reader.vendor = VANTOR_VENDOR_ID;
    reader.product = VANTOR_PRODUCT_ID;
    reader.version = VANTOR_VERSION;
    reader.inUse = probe && sim::InUse(path.c_str());
    readers.push_back(reader);
  }
  return readers;
}

int OpenReaderAt(const std::string& path) {
  std::vector<std::string> emulated;
  bool inUse = false;
  int handle = os::kInvalidHandle;
  if (!EmulatedReaders(&emulated)) {
    handle = os::OpenDevice(path, &inUse);
  } else {
    for (const auto& statePath : emulated) {
      if (statePath != path) continue;
      handle = sim::OpenLink(path.c_str(), &inUse);
      break;
    }
  }
  if (handle != os::kInvalidHandle) return handle;
  return inUse ? VANTOR_ERR_BUSY : VANTOR_ERR_NO_READER;
}

}  // namespace vantor

extern "C" {

VANTOR_API int DllListReaders(char* buffer, unsigned int capacity) {
  try {
    const auto readers = vantor::ListReaders(false);
    std::size_t needed = 0;
    for (const auto& reader : readers) needed += reader.path.size() + 1;
    if (needed > capacity || (needed > 0 && buffer == nullptr)) return VANTOR_ERR_LENGTH;
    for (const auto& reader : readers) {
      std::memcpy(buffer, reader.path.c_str(), reader.path.size() + 1);
      buffer += reader.path.size() + 1;
    }
    return static_cast<int>(readers.size());
  } catch (const std::exception&) {
    return 0;  // out of memory while listing: none found
  }
}

VANTOR_API int DllOpenReaderPath(const char* path) {
  if (path == nullptr || *path == '\0') return VANTOR_ERR_NO_READER;
  try {
    return vantor::OpenReaderAt(path);
  } catch (const std::exception&) {
    return VANTOR_ERR_NO_READER;
  }
}

}  // extern "C"
