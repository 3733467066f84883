// Linux side of the OS seam: the reader handle is the descriptor of the
// opened /dev/hidrawN node (or of the emulated reader's socket), one
// report per write and per read.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "discovery.h"
#include "os.h"
#include "vantor/reader.h"

namespace vantor::os {
namespace {
thread_local int t_lastError = 0;

bool Fail(int error) {
  t_lastError = error;
  return false;
}
}  // namespace

int FindReaderDevice(std::string* heldPath) {
  const int fd = OpenFirstReader(kSysHidrawRoot, kDevRoot, heldPath);
  return fd < 0 ? kInvalidHandle : fd;
}

bool WriteReport(int handle, const std::uint8_t report[64]) {
  // send() keeps a vanished socket peer from raising SIGPIPE; hidraw nodes
  // are not sockets and take write().
  ssize_t n;
  do {
    n = ::send(handle, report, VANTOR_REPORT_SIZE, MSG_NOSIGNAL);
    if (n < 0 && errno == ENOTSOCK) n = ::write(handle, report, VANTOR_REPORT_SIZE);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return Fail(errno);
  if (n != VANTOR_REPORT_SIZE) return Fail(EIO);
  return true;
}

bool ReadReport(int handle, std::uint8_t report[64], std::size_t* bytesRead) {
  pollfd p{handle, POLLIN, 0};
  int ready;
  do {
    ready = ::poll(&p, 1, ReadTimeoutMs());
  } while (ready < 0 && errno == EINTR);
  if (ready < 0) return Fail(errno);
  if (ready == 0) return Fail(ETIMEDOUT);
  if (p.revents & POLLNVAL) return Fail(EBADF);
  ssize_t n;
  do {
    n = ::read(handle, report, VANTOR_REPORT_SIZE);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return Fail(errno);
  if (n == 0) return Fail(EIO);  // the reader is gone
  *bytesRead = static_cast<std::size_t>(n);
  return true;
}

bool CloseHandle(int handle) { return ::close(handle) == 0; }

int LastError() { return t_lastError; }

std::vector<ReaderDevice> ListDevices(bool probe) {
  std::vector<ReaderDevice> devices;
  for (const auto& node : ListHidrawNodes(kSysHidrawRoot, kDevRoot, probe)) {
    if (!node.isReader) continue;
    ReaderDevice device;
    device.path = node.devicePath;
    device.vendor = node.vendor;
    device.product = node.product;
    device.version = node.version;
    device.openError = node.openError;
    device.inUse = node.inUse;
    devices.push_back(device);
  }
  return devices;
}

int OpenDevice(const std::string& path, bool* inUse) {
  int error = 0;
  const int fd = OpenReaderNode(kSysHidrawRoot, kDevRoot, path, &error);
  *inUse = error == EWOULDBLOCK;
  return fd < 0 ? kInvalidHandle : fd;
}

}  // namespace vantor::os
