// Linux side of the OS seam: the reader handle is the descriptor of the
// opened /dev/hidrawN node (or of the emulated reader's socket), one
// report per write and per read.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <exception>

#include "discovery.h"
#include "os.h"
#include "vantor/reader.h"

namespace vantor::os {
namespace {

// One descriptor as a reader handle. A hidraw node takes write() at once;
// any other descriptor (the emulated reader's socket) goes through send(),
// which keeps a vanished peer from raising SIGPIPE. The node's flock goes
// with its descriptor.
class DescriptorIo : public ReaderIo {
 public:
  DescriptorIo(int fd, bool node) : ReaderIo(fd), node_(node) {}
  ~DescriptorIo() override {
    if (open_.exchange(false)) ::close(handle());
  }

  bool Write(const std::uint8_t report[64], int* error) override {
    ssize_t n;
    do {
      n = node_ ? -1 : ::send(handle(), report, VANTOR_REPORT_SIZE, MSG_NOSIGNAL);
      if (node_ || (n < 0 && errno == ENOTSOCK)) n = ::write(handle(), report, VANTOR_REPORT_SIZE);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return Fail(errno, error);
    if (n != VANTOR_REPORT_SIZE) return Fail(EIO, error);
    return true;
  }

  bool Read(std::uint8_t report[64], std::size_t* got, int timeoutMs, int* error) override {
    pollfd p{handle(), POLLIN, 0};
    int ready;
    do {
      ready = ::poll(&p, 1, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    if (ready < 0) return Fail(errno, error);
    if (ready == 0) return Fail(ETIMEDOUT, error);
    if (p.revents & POLLNVAL) return Fail(EBADF, error);
    ssize_t n;
    do {
      n = ::read(handle(), report, VANTOR_REPORT_SIZE);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return Fail(errno, error);
    if (n == 0) return Fail(EIO, error);  // the reader is gone
    *got = static_cast<std::size_t>(n);
    return true;
  }

  bool Close() override { return open_.exchange(false) && ::close(handle()) == 0; }
  void Forget() override { open_ = false; }

 private:
  static bool Fail(int code, int* error) {
    *error = code;
    return false;
  }

  const bool node_;
  std::atomic<bool> open_{true};
};

std::unique_ptr<ReaderIo> NodeIo(int fd) {
  if (fd < 0) return nullptr;
  try {
    return std::make_unique<DescriptorIo>(fd, true);
  } catch (const std::exception&) {
    ::close(fd);
    return nullptr;
  }
}

}  // namespace

std::unique_ptr<ReaderIo> FindReaderDevice(std::string* heldPath) {
  return NodeIo(OpenFirstReader(kSysHidrawRoot, kDevRoot, heldPath));
}

std::unique_ptr<ReaderIo> MessageIo(int handle) {
  return std::make_unique<DescriptorIo>(handle, false);
}

int NotOpenError() { return EBADF; }

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

std::unique_ptr<ReaderIo> OpenDevice(const std::string& path, bool* inUse) {
  int error = 0;
  const int fd = OpenReaderNode(kSysHidrawRoot, kDevRoot, path, &error);
  *inUse = error == EWOULDBLOCK;
  return NodeIo(fd);
}

}  // namespace vantor::os
