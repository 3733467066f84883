// The emulated reader on POSIX: a SOCK_SEQPACKET socket pair carries one
// report per message.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

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

}  // namespace

int OpenLink(const char* statePath) {
  auto state = LoadForLink(statePath);
  if (!state) return -1;
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0) return -1;
  int host = fds[0];
  auto end = std::make_unique<SocketEnd>(fds[1]);
  if (host == 0) {
    // Callers take handle 0 for "not open".
    host = ::fcntl(fds[0], F_DUPFD_CLOEXEC, 3);
    ::close(fds[0]);
    if (host < 0) return -1;
  }
  if (!StartLink(host, std::move(end), statePath, std::move(state))) {
    ::close(host);
    return -1;
  }
  return host;
}

bool CloseLink(int handle, bool* closed) { return FinishLink(handle, CloseHost, closed); }

}  // namespace vantor::sim
