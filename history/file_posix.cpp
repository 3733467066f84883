// The history's place and its appender on Linux: flock, O_APPEND, fsync.
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "history.h"

namespace vantor::history {
namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

std::string WithoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// After an entry was made in folder: the entry survives a power loss.
void SyncFolder(const std::string& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

// Makes the missing folders above path; 0 or the errno of the mkdir that
// failed (an existing entry that is no folder shows when the file is opened).
int MakeParents(const std::string& path, mode_t mode) {
  for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    const std::string folder = path.substr(0, slash);
    if (folder.back() == '/') continue;  // "a//b"
    if (::mkdir(folder.c_str(), mode) == 0) {
      SyncFolder(FolderOf(folder));
    } else if (errno != EEXIST) {
      return errno;
    }
  }
  return 0;
}

}  // namespace

Place Locate(bool noHistory, bool window) {
  Place place;
  const std::string named = Env("VANTOR_HISTORY");
  if (noHistory || named == "off") return place;
  if (!named.empty()) {
    place.file = named;
    return place;
  }
  if (window) return place;
  std::string base = Env("XDG_STATE_HOME");
  if (base.empty() || base[0] != '/') {
    std::string home = Env("HOME");
    if (home.empty()) {
      if (const passwd* user = ::getpwuid(::getuid()); user && user->pw_dir) home = user->pw_dir;
    }
    if (home.empty()) {
      place.error =
          "the download history has no place: HOME is not set (VANTOR_HISTORY=FILE names one, "
          "VANTOR_HISTORY=off turns the history off)";
      return place;
    }
    base = WithoutTrailingSlashes(home) + "/.local/state";
  }
  place.file = WithoutTrailingSlashes(base) + "/vantortool/history.jsonl";
  place.privateFolders = true;
  return place;
}

Appender::~Appender() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

bool Appender::Fail(std::string* error, const std::string& reason) const {
  if (error) *error = "cannot write the download history " + file_ + ": " + reason;
  return false;
}

bool Appender::Open(const Place& place, std::string* error) {
  std::lock_guard<std::mutex> guard(lock_);
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
  handle_ = -1;
  file_ = place.file;
  if (file_.empty()) return Fail(error, "no file named");
  if (const int failed = MakeParents(file_, place.privateFolders ? 0700 : 0777)) {
    return Fail(error, SystemReason(failed));
  }
  // Read access lets Append see whether the last line was ended.
  int fd = ::open(file_.c_str(), O_RDWR | O_APPEND | O_CLOEXEC);
  if (fd < 0 && errno == EACCES) fd = ::open(file_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) {
    fd = ::open(file_.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd >= 0) SyncFolder(FolderOf(file_));
  }
  if (fd < 0) return Fail(error, SystemReason(errno));
  handle_ = fd;
  return true;
}

bool Appender::Append(const std::string& line, std::string* error, bool sync) {
  std::lock_guard<std::mutex> guard(lock_);
  const int fd = static_cast<int>(handle_);
  if (fd < 0) return Fail(error, SystemReason(EBADF));
  while (::flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) return Fail(error, SystemReason(errno));
  }
  std::string text;
  struct stat info {};
  char last = '\n';
  if (::fstat(fd, &info) == 0 && info.st_size > 0) {
    if (::pread(fd, &last, 1, info.st_size - 1) == 1 && last != '\n') text = "\n";
  }
  text += line;
  text += '\n';
  // One write; a short one (a full disk) is followed by one that names why.
  int failed = 0;
  for (std::size_t done = 0; done < text.size() && failed == 0;) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n > 0) done += static_cast<std::size_t>(n);
    if (n < 0 && errno != EINTR) failed = errno;
  }
  ::flock(fd, LOCK_UN);
  // EINVAL: a file that keeps nothing (VANTOR_HISTORY=/dev/null).
  if (failed == 0 && sync && ::fsync(fd) != 0 && errno != EINVAL) failed = errno;
  return failed == 0 || Fail(error, SystemReason(failed));
}

std::FILE* OpenForReading(const std::string& path) { return std::fopen(path.c_str(), "rbe"); }

std::string SystemReason(int code) { return std::strerror(code); }

std::string HostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return "";
  return name;
}

}  // namespace vantor::history
