// Finding and opening readers: DllOpenReader, DllCloseReader, the list in
// search order (DllListReaders), a listed reader's serial number
// (DllGetReaderSerial), DllOpenReaderPath, and why an emulated reader
// failed (DllGetErrorText). This is the one place that chooses between the
// emulated readers (when VANTOR_READER_SIM names their state files or
// their folders) and the attached ones.
#include "readers.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <map>
#include <mutex>
#include <system_error>
#include <utility>

#include "handles.h"
#include "sim_link.h"
#include "sim_state.h"
#include "vantor/reader.h"

namespace vantor {
namespace {

// An emulated reader's handle: the host's end of its link, read and written
// like any handle with one report per message; the link owns that end and
// closes it, after which it waits for the emulator's state file.
class EmulatedIo : public ReaderIo {
 public:
  explicit EmulatedIo(std::unique_ptr<sim::HostLink> link)
      : ReaderIo(link->handle()), link_(std::move(link)), io_(os::MessageIo(handle())) {}
  ~EmulatedIo() override { io_->Forget(); }  // the link closes its end itself

  bool Write(const std::uint8_t report[64], int* error) override {
    return io_->Write(report, error);
  }
  bool Read(std::uint8_t report[64], std::size_t* got, int timeoutMs, int* error) override {
    return io_->Read(report, got, timeoutMs, error);
  }
  bool Close() override { return link_->Close(); }
  void Forget() override { link_->Forget(); }

 private:
  std::unique_ptr<sim::HostLink> link_;
  std::unique_ptr<ReaderIo> io_;
};

#ifdef _WIN32
constexpr char kPathListSeparator = ';';
#else
constexpr char kPathListSeparator = ':';
#endif

struct HeldRecord {
  std::mutex mutex;
  std::string path;
};

HeldRecord& TheHeldRecord() {
  static HeldRecord* record = new HeldRecord;
  return *record;
}

void RecordHeld(std::string path) {
  std::lock_guard<std::mutex> lock(TheHeldRecord().mutex);
  TheHeldRecord().path = std::move(path);
}

// Whether path names the listed reader: the same bytes (on Windows in any
// case, as the device search compares them).
bool SamePath(const std::string& listed, const char* path) {
#ifdef _WIN32
  return _stricmp(listed.c_str(), path) == 0;
#else
  return listed == path;
#endif
}

}  // namespace

std::string HeldReader() {
  std::lock_guard<std::mutex> lock(TheHeldRecord().mutex);
  return TheHeldRecord().path;
}

bool EmulatedEntries(std::vector<std::string>* entries) {
  entries->clear();
  const char* list = std::getenv("VANTOR_READER_SIM");
  if (!list || !*list) return false;
  for (const char* p = list; *p;) {
    const char* end = std::strchr(p, kPathListSeparator);
    if (!end) end = p + std::strlen(p);
    if (end != p) entries->emplace_back(p, end);
    p = *end ? end + 1 : end;
  }
  return true;
}

bool IsReaderFolder(const std::string& entry) {
  std::error_code ec;
  return std::filesystem::is_directory(entry, ec);
}

bool IsStateFileName(const std::string& name) {
  constexpr std::size_t kSuffix = 5;  // ".json"
  return name.size() > kSuffix && name[0] != '.' &&
         name.compare(name.size() - kSuffix, kSuffix, ".json") == 0;
}

std::string StateFileInFolder(const std::string& folder, const std::string& name) {
  return (std::filesystem::path(folder) / name).string();
}

std::vector<std::string> StateFilesIn(const std::string& folder) {
  namespace fs = std::filesystem;
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    try {
      std::string name = it->path().filename().string();
      std::error_code statError;  // a link that leads nowhere, or in a loop, is none
      if (IsStateFileName(name) && fs::is_regular_file(it->status(statError))) {
        names.push_back(std::move(name));
      }
    } catch (const std::system_error&) {
      // A name the narrow strings cannot hold (Windows): no reader of ours.
    }
  }
  std::sort(names.begin(), names.end());
  for (auto& name : names) name = StateFileInFolder(folder, name);
  return names;
}

bool EmulatedReaders(std::vector<std::string>* statePaths) {
  statePaths->clear();
  std::vector<std::string> entries;
  if (!EmulatedEntries(&entries)) return false;
  for (auto& entry : entries) {
    if (!IsReaderFolder(entry)) {
      statePaths->push_back(std::move(entry));
      continue;
    }
    for (auto& path : StateFilesIn(entry)) statePaths->push_back(std::move(path));
  }
  return true;
}

std::vector<os::ReaderDevice> ListReaders(bool probe) {
  std::vector<std::string> emulated;
  if (!EmulatedReaders(&emulated)) return os::ListDevices(probe);
  std::vector<os::ReaderDevice> readers;
  std::map<std::string, std::size_t> first;  // state file -> its first entry
  for (const auto& path : emulated) {
    os::ReaderDevice reader;
    reader.path = path;
    reader.vendor = VANTOR_VENDOR_ID;
    reader.product = VANTOR_PRODUCT_ID;
    reader.version = VANTOR_VERSION;
    reader.serial = sim::ReadSerial(path);  // no USB port: usbPath stays empty
    const auto [known, isNew] = first.emplace(sim::StateFileKey(path), readers.size());
    if (isNew) {
      reader.inUse = probe && sim::InUse(path.c_str());
      if (probe && !reader.inUse) {
        try {
          sim::LoadState(path);
        } catch (const std::exception& e) {
          reader.problem = e.what();
        }
      }
    } else {
      reader.duplicateOf = readers[known->second].path;
      reader.inUse = readers[known->second].inUse;
    }
    readers.push_back(reader);
  }
  return readers;
}

os::ReaderDevice ListedReader(const std::string& path, bool* listed) {
  if (listed) *listed = true;
  for (auto& reader : ListReaders(false)) {
    if (reader.path == path) return reader;
  }
  if (listed) *listed = false;
  os::ReaderDevice unlisted;
  unlisted.path = path;
  return unlisted;
}

void ReportReaderFailuresTo(void (*report)(const std::string& text)) {
  sim::SetFailureReport(report);
}

int OpenEmulatedReader(const std::string& statePath, bool* inUse) {
  auto link = sim::OpenLink(statePath.c_str(), inUse);
  return link ? AddReaderHandle(std::make_unique<EmulatedIo>(std::move(link))) : os::kInvalidHandle;
}

int OpenReaderAt(const std::string& path) {
  std::vector<std::string> emulated;
  bool inUse = false;
  int handle = os::kInvalidHandle;
  if (!EmulatedReaders(&emulated)) {
    handle = AddReaderHandle(os::OpenDevice(path, &inUse));
  } else if (std::find(emulated.begin(), emulated.end(), path) != emulated.end()) {
    handle = OpenEmulatedReader(path, &inUse);
  }
  if (handle != os::kInvalidHandle) return handle;
  return inUse ? VANTOR_ERR_BUSY : VANTOR_ERR_NO_READER;
}

}  // namespace vantor

extern "C" {

VANTOR_API int DllOpenReader(void) {
  vantor::sim::ClearFailure();
  try {
    std::vector<std::string> emulated;
    std::string held;
    int handle = vantor::os::kInvalidHandle;
    if (vantor::EmulatedReaders(&emulated)) {
      for (const auto& reader : vantor::ListReaders(false)) {
        if (!reader.duplicateOf.empty()) continue;
        bool inUse = false;
        handle = vantor::OpenEmulatedReader(reader.path, &inUse);
        if (handle != vantor::os::kInvalidHandle) break;
        if (inUse && held.empty()) held = reader.path;
      }
    } else {
      handle = vantor::AddReaderHandle(vantor::os::FindReaderDevice(&held));
    }
    if (handle != vantor::os::kInvalidHandle) return handle;
    vantor::RecordHeld(std::move(held));
  } catch (const std::exception&) {
    // Out of memory for a path: no reader.
  }
  return VANTOR_ERR_NO_READER;
}

VANTOR_API int DllCloseReader(int handle) {
  vantor::sim::ClearFailure();
  return vantor::CloseReaderHandle(handle) ? VANTOR_OK : VANTOR_ERR_CLOSE;
}

VANTOR_API int DllListReaders(char* buffer, unsigned int capacity) {
  try {
    auto readers = vantor::ListReaders(false);
    readers.erase(std::remove_if(readers.begin(), readers.end(),
                                 [](const auto& reader) { return !reader.duplicateOf.empty(); }),
                  readers.end());
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

VANTOR_API int DllGetReaderSerial(const char* path, char* serial, int capacity) {
  if (path == nullptr || *path == '\0') return VANTOR_ERR_NO_READER;
  try {
    for (const auto& reader : vantor::ListReaders(false)) {
      if (!vantor::SamePath(reader.path, path)) continue;
      const std::size_t length = reader.serial.size();
      if (serial == nullptr || capacity < 0 || length >= static_cast<std::size_t>(capacity)) {
        return VANTOR_ERR_LENGTH;
      }
      std::memcpy(serial, reader.serial.c_str(), length + 1);
      return static_cast<int>(length);
    }
  } catch (const std::exception&) {
    // Out of memory while listing: not found.
  }
  return VANTOR_ERR_NO_READER;
}

VANTOR_API int DllOpenReaderPath(const char* path) {
  vantor::sim::ClearFailure();
  if (path == nullptr || *path == '\0') return VANTOR_ERR_NO_READER;
  try {
    return vantor::OpenReaderAt(path);
  } catch (const std::exception&) {
    return VANTOR_ERR_NO_READER;
  }
}

VANTOR_API int DllGetErrorText(char* buffer, int capacity) {
  try {
    const std::string text = vantor::sim::LastFailure();
    if (text.empty() && (buffer == nullptr || capacity < 1)) return 0;
    if (buffer == nullptr || capacity < 0 || text.size() >= static_cast<unsigned>(capacity)) {
      return VANTOR_ERR_LENGTH;
    }
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return static_cast<int>(text.size());
  } catch (const std::exception&) {
    return VANTOR_ERR_LENGTH;  // no memory for a copy of the text
  }
}

}  // extern "C"
