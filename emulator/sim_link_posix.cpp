// The emulated reader on POSIX: a SOCK_SEQPACKET socket pair carries one
// report per message.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "sim_link.h"
#include "sim_link_common.h"

namespace vantor::sim {
namespace {

class SocketEnd : public ReaderEnd {
 public:
  explicit SocketEnd(int fd) : fd_(fd) {}
  ~SocketEnd() override { Close(); }

  bool Receive(std::uint8_t report[kReportSize], std::size_t* got) override {
    ssize_t n;
    do {
      n = ::recv(fd_, report, kReportSize, 0);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return false;  // host closed its end, or the link broke
    *got = static_cast<std::size_t>(n);
    return true;
  }

  bool Send(const std::uint8_t report[kReportSize]) override {
    ssize_t n;
    do {
      n = ::send(fd_, report, kReportSize, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(kReportSize);
  }

  void Close() override {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

bool CloseHost(int handle) { return ::close(handle) == 0; }

// flock on <state>.lock. The file is removed before it is unlocked, so a
// link that locked a removed file sees that it is no longer the one under
// the name and takes the new one.
class FileLock : public StateLock {
 public:
  FileLock(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  ~FileLock() override {
    if (fd_ < 0) return;
    ::unlink(path_.c_str());
    ::close(fd_);
  }

 private:
  int fd_;
  std::string path_;
};

bool SameFile(int fd, const std::string& path) {
  struct stat held {
  }, named{};
  return ::fstat(fd, &held) == 0 && ::stat(path.c_str(), &named) == 0 &&
         held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

}  // namespace

std::unique_ptr<StateLock> LockState(const std::string& statePath, bool* inUse) {
  *inUse = false;
  const std::string path = statePath + ".lock";
  // Each round loses only to a link that released the lock meanwhile.
  for (int round = 0; round < 100; ++round) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0 && (errno == EACCES || errno == EPERM || errno == EROFS)) {
      // Someone else's lock file (flock needs no write access), or a
      // folder that cannot be written.
      fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
      if (fd < 0) return std::make_unique<StateLock>();
    }
    if (fd < 0) {
      ReportLockFailure(path, std::strerror(errno));
      return nullptr;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int error = errno;
      ::close(fd);
      *inUse = error == EWOULDBLOCK;
      if (!*inUse) ReportLockFailure(path, std::strerror(error));
      return nullptr;
    }
    if (SameFile(fd, path)) return std::make_unique<FileLock>(fd, path);
    ::close(fd);
  }
  ReportLockFailure(path, "taken and released again and again");
  return nullptr;
}

std::unique_ptr<HostLink> OpenLink(const char* statePath, bool* inUse) {
  LinkState state = LoadForLink(statePath, inUse);
  if (!state.state) return nullptr;
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0) return nullptr;
  int host = fds[0];
  auto end = std::make_unique<SocketEnd>(fds[1]);
  if (host == 0) {
    // Callers take handle 0 for "not open".
    host = ::fcntl(fds[0], F_DUPFD_CLOEXEC, 3);
    ::close(fds[0]);
    if (host < 0) return nullptr;
  }
  auto link = StartLink(host, CloseHost, std::move(end), statePath, std::move(state));
  if (!link) ::close(host);
  return link;
}

}  // namespace vantor::sim
