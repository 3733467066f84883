// The state file on disk: reading it (regular files only), writing it
// atomically, and the file a link to it leads to.
#include "sim_state.h"

#include "sim_link.h"

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <system_error>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace vantor::sim {

using text::FromHex;
using text::ToHex;

namespace {

// The temp files of saves that were killed before their rename: <name>.tmp
// and digits. Only the link that holds the state file saves it, so none of
// them is still being written.
void RemoveLeftovers(const std::string& path) {
  namespace fs = std::filesystem;
  const fs::path state(path);
  const std::string prefix = state.filename().string() + ".tmp";
  std::error_code ec;
  const fs::path folder = state.has_parent_path() ? state.parent_path() : fs::path(".");
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) continue;
    if (name.find_first_not_of("0123456789", prefix.size()) != std::string::npos) continue;
    std::error_code ignored;
    fs::remove(it->path(), ignored);
  }
}

// Writes text to a new file at path, with the mode and, where the system
// allows, the owner of the file it is to replace (when there is one); false
// with the OS reason in *error.
bool WriteWhole(const std::string& path, const std::string& replaces, const std::string& text,
                std::string* error) {
  errno = 0;
#ifdef _WIN32
  (void)replaces;
  std::FILE* out = std::fopen(path.c_str(), "wb");
#else
  // Private until it has the old file's mode.
  struct stat old {};
  const bool hadOld = ::stat(replaces.c_str(), &old) == 0;
  const int fd =
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, hadOld ? 0600 : 0666);
  std::FILE* out = fd < 0 ? nullptr : ::fdopen(fd, "wb");
  if (fd >= 0 && !out) ::close(fd);
  if (out && hadOld) {
    // The owner first: a change of owner clears the set-ID bits.
    if (::fchown(fd, old.st_uid, old.st_gid) != 0 && ::fchown(fd, -1, old.st_gid) != 0) {
      // Another user's file becomes ours, as any program's save makes it.
    }
    if (::fchmod(fd, old.st_mode & 07777) != 0) {
      // Not on this file system: it keeps what it was created with.
    }
  }
#endif
  if (!out) {
    *error = "cannot create " + path + ": " + std::strerror(errno);
    return false;
  }
  bool ok = std::fwrite(text.data(), 1, text.size(), out) == text.size() && std::fflush(out) == 0;
  int reason = errno;
  if (std::fclose(out) != 0 && ok) {
    ok = false;
    reason = errno;
  }
  if (!ok) *error = "cannot write " + path + ": " + std::strerror(reason ? reason : EIO);
  return ok;
}

// "is a FIFO, not a regular file" and the like.
std::string NotRegular(std::filesystem::file_type type) {
  using std::filesystem::file_type;
  switch (type) {
    case file_type::directory: return "is a directory, not a regular file";
    case file_type::fifo: return "is a FIFO, not a regular file";
    case file_type::character:
    case file_type::block: return "is a device, not a regular file";
    case file_type::socket: return "is a socket, not a regular file";
    default: return "is not a regular file";
  }
}

// The bytes of the state file at path; false when there is none. Anything
// but a regular file is refused before it is opened (a FIFO would block, a
// device may act on an open) and again once opened, in case it was swapped.
bool ReadText(const std::string& path, std::string* text) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const auto status = fs::status(path, ec);
  if (status.type() == fs::file_type::not_found) return false;
  if (ec) throw StateError("cannot be read: " + ec.message());
  if (!fs::is_regular_file(status)) throw StateError(NotRegular(status.type()));
#ifdef _WIN32
  std::ifstream in(path, std::ios::binary);
  if (!in.is_open()) throw StateError("cannot be opened");
  std::stringstream whole;
  whole << in.rdbuf();
  if (in.bad()) throw StateError("cannot be read");
  *text = whole.str();
#else
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) throw StateError(std::string("cannot be opened: ") + std::strerror(errno));
  const struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat opened {};
  if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
    throw StateError("is not a regular file");
  }
  char buffer[8192];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw StateError(std::string("cannot be read: ") + std::strerror(errno));
    text->append(buffer, static_cast<std::size_t>(n));
  }
#endif
  return true;
}

}  // namespace

SimState LoadState(const std::string& path) {
  std::string text;
  if (!ReadText(path, &text)) return SimState();
  return ParseState(text);
}

std::string ReadSerial(const std::string& path) {
  try {
    // Opened as the state is loaded: a FIFO or a device is never opened.
    std::string text;
    if (ReadText(path, &text)) return SerialIn(text);
  } catch (const std::exception&) {
    // A file that cannot be a state file (opening the reader says why), or
    // out of memory: no serial.
  }
  return {};
}

bool SaveState(const std::string& path, const SimState& state, std::string* error) {
  std::string text;
  try {
    text = StateText(state);
  } catch (const std::exception& e) {
    *error = e.what();
    return false;
  }

  const std::string target = ResolveStatePath(path);
  RemoveLeftovers(target);
  std::random_device random;
  const std::string temp = target + ".tmp" + std::to_string(random()) + std::to_string(random());
  if (!WriteWhole(temp, target, text, error)) {
    std::error_code ignored;
    std::filesystem::remove(temp, ignored);
    return false;
  }
  std::error_code ec;
  std::filesystem::rename(temp, target, ec);
  if (ec) {
    std::error_code ignored;
    std::filesystem::remove(temp, ignored);
    *error = "cannot replace it with " + temp + ": " + ec.message();
    return false;
  }
  return true;
}

std::string ResolveStatePath(const std::string& path) {
  namespace fs = std::filesystem;
  fs::path file(path);
  // As many links as the system itself follows; a loop is left to fail
  // when the file is opened.
  for (int hop = 0; hop < 40; ++hop) {
    std::error_code ec;
    if (!fs::is_symlink(fs::symlink_status(file, ec))) break;
    const fs::path target = fs::read_symlink(file, ec);
    if (ec) break;
    file = target.is_absolute() ? target : file.parent_path() / target;
  }
  return file.string();
}

}  // namespace vantor::sim
