// The history's place and its appender on Linux: flock, O_APPEND, fsync.
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "appender.h"
#include "place.h"
#include "record.h"
#include "os_error.h"

namespace vantor::history {

using text::OsErrorText;

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

// What path is when it is there but is no regular file ("" otherwise):
// the history is never opened through a link, nor as a FIFO or a device,
// whose open or reads could block or never end.
std::string NotRegular(const std::string& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0 || S_ISREG(info.st_mode)) return "";
  if (S_ISLNK(info.st_mode)) return "is a symbolic link; the history is not used through a link";
  const char* kind = S_ISDIR(info.st_mode)    ? "a directory"
                     : S_ISFIFO(info.st_mode) ? "a FIFO"
                     : S_ISCHR(info.st_mode)  ? "a character device"
                     : S_ISBLK(info.st_mode)  ? "a block device"
                     : S_ISSOCK(info.st_mode) ? "a socket"
                                              : "something else";
  return std::string("is ") + kind + ", not a regular file";
}

// After an open that was denied: who owns the file, or the nearest folder
// above it that exists, when that is not this user, and how to go on.
std::string OwnerHint(const std::string& file) {
  for (std::string path = file;; path = FolderOf(path)) {
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) {
      if (info.st_uid == ::geteuid()) return "";
      const passwd* owner = ::getpwuid(info.st_uid);
      const std::string name =
          owner && owner->pw_name ? owner->pw_name : "user " + std::to_string(info.st_uid);
      return "; " + (path == file ? std::string("it") : path) + " belongs to " + name +
             " (download with --no-history, or keep a history of your own with "
             "VANTOR_HISTORY=FILE)";
    }
    if (path == "/" || path == ".") return "";
  }
}

// Opens path with flags, not following a link in its last component and
// without blocking; *refusal is set (and -1 returned) for what is no
// regular file.
int OpenRegular(const std::string& path, int flags, std::string* refusal) {
  if (!(*refusal = NotRegular(path)).empty()) return -1;
  const int fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0666);
  if (fd < 0) {
    const int error = errno;
    *refusal = NotRegular(path);  // replaced meanwhile
    errno = error;
    return -1;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    *refusal = "is not a regular file";
    return -1;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
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
  privateFolders_ = place.privateFolders;
  if (file_.empty()) return Fail(error, "no file named");
  // Only looked at: the file and its folders are made by the first record.
  struct stat info {};
  if (::lstat(file_.c_str(), &info) == 0) {
    if (!S_ISREG(info.st_mode)) return Fail(error, NotRegular(file_));
    if (::faccessat(AT_FDCWD, file_.c_str(), W_OK, AT_EACCESS) != 0) return Denied(error, errno);
    return true;
  }
  if (errno != ENOENT) return Fail(error, OsErrorText(errno));
  // Not there yet: the nearest folder above that exists must take a new entry.
  for (std::string folder = FolderOf(file_);; folder = FolderOf(folder)) {
    if (::stat(folder.c_str(), &info) == 0) {
      if (!S_ISDIR(info.st_mode)) return Fail(error, OsErrorText(ENOTDIR));
      if (::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
        return Denied(error, errno);
      }
      return true;
    }
    if (errno != ENOENT) return Fail(error, OsErrorText(errno));
    if (folder == "/" || folder == ".") return true;
  }
}

bool Appender::Denied(std::string* error, int code) const {
  if (code != EACCES && code != EPERM) return Fail(error, OsErrorText(code));
  return Fail(error, OsErrorText(code) + OwnerHint(file_));
}

bool Appender::OpenFile(std::string* error) {
  if (file_.empty()) return Fail(error, OsErrorText(EBADF));
  if (const int failed = MakeParents(file_, privateFolders_ ? 0700 : 0777)) {
    return Fail(error, OsErrorText(failed));
  }
  // Read access lets Append see whether the last line was ended.
  std::string refusal;
  int fd = OpenRegular(file_, O_RDWR | O_APPEND, &refusal);
  if (fd < 0 && errno == EACCES && refusal.empty()) {
    fd = OpenRegular(file_, O_WRONLY | O_APPEND, &refusal);
  }
  if (fd < 0 && errno == ENOENT && refusal.empty()) {
    fd = OpenRegular(file_, O_RDWR | O_APPEND | O_CREAT | O_EXCL, &refusal);
    if (fd < 0 && errno == EEXIST && refusal.empty()) {  // made by another process meanwhile
      fd = OpenRegular(file_, O_RDWR | O_APPEND, &refusal);
    } else if (fd >= 0) {
      SyncFolder(FolderOf(file_));
    }
  }
  if (fd < 0 && !refusal.empty()) return Fail(error, refusal);
  if (fd < 0) return Denied(error, errno);
  handle_ = fd;
  return true;
}

bool Appender::Append(const std::string& line, std::string* error, bool sync) {
  return Append(std::vector<std::string>{line}, error, sync);
}

bool Appender::Append(const std::vector<std::string>& lines, std::string* error, bool sync) {
  std::lock_guard<std::mutex> guard(lock_);
  if (handle_ < 0 && !OpenFile(error)) return false;
  const int fd = static_cast<int>(handle_);
  while (::flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) return Fail(error, OsErrorText(errno));
  }
  std::string text;
  struct stat info {};
  const bool sized = ::fstat(fd, &info) == 0;
  char last = '\n';
  if (sized && info.st_size > 0) {
    if (::pread(fd, &last, 1, info.st_size - 1) == 1 && last != '\n') text = "\n";
  }
  for (const auto& line : lines) text += line + '\n';
  // One write; a short one (a full disk) is followed by one that names why.
  int failed = 0;
  for (std::size_t done = 0; done < text.size() && failed == 0;) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n > 0) done += static_cast<std::size_t>(n);
    if (n < 0 && errno != EINTR) failed = errno;
  }
  // Flushed under the lock, so that a failure can still take back what was
  // written: no record, nor a torn piece of one, stays of a failed append.
  if (failed == 0 && sync && ::fsync(fd) != 0) failed = errno;
  if (failed != 0 && sized) {
    while (::ftruncate(fd, info.st_size) != 0 && errno == EINTR) {
    }
  }
  ::flock(fd, LOCK_UN);
  return failed == 0 || Fail(error, OsErrorText(failed));
}

std::FILE* OpenForReading(const std::string& path, std::string* refusal) {
  const int fd = OpenRegular(path, O_RDONLY, refusal);
  if (fd < 0) return nullptr;
  std::FILE* file = ::fdopen(fd, "rb");
  if (file == nullptr) ::close(fd);
  return file;
}

std::string HostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return "";
  return name;
}

}  // namespace vantor::history
