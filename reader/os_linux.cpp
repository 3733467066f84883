// Linux side of the OS seam: the reader handle is the descriptor of the
// opened /dev/hidrawN node (or of the emulated reader's socket), one
// report per write and per read.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
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

// The descriptors this layer opened on hidraw nodes, until it closes them:
// those take write() at once. Any other handle (the emulated reader's
// socket) goes through send(), which keeps a vanished peer from raising
// SIGPIPE.
constexpr int kTrackedHandles = 1024;
std::atomic<bool> g_isNode[kTrackedHandles];

int Track(int fd) {
  if (fd >= 0 && fd < kTrackedHandles) g_isNode[fd].store(true, std::memory_order_relaxed);
  return fd;
}

bool IsNode(int handle) {
  return handle >= 0 && handle < kTrackedHandles &&
         g_isNode[handle].load(std::memory_order_relaxed);
}
}  // namespace

int FindReaderDevice(std::string* heldPath) {
  const int fd = OpenFirstReader(kSysHidrawRoot, kDevRoot, heldPath);
  return fd < 0 ? kInvalidHandle : Track(fd);
}

bool WriteReport(int handle, const std::uint8_t report[64]) {
  const bool node = IsNode(handle);
  ssize_t n;
  do {
    n = node ? -1 : ::send(handle, report, VANTOR_REPORT_SIZE, MSG_NOSIGNAL);
    if (node || (n < 0 && errno == ENOTSOCK)) n = ::write(handle, report, VANTOR_REPORT_SIZE);
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

bool CloseHandle(int handle) {
  if (IsNode(handle)) g_isNode[handle].store(false, std::memory_order_relaxed);
  return ::close(handle) == 0;
}

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
    device.serial = node.serial;
    device.usbPath = node.usbPath;
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
  return fd < 0 ? kInvalidHandle : Track(fd);
}

}  // namespace vantor::os
