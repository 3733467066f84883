#include "discovery.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "vantor/reader.h"

namespace fs = std::filesystem;

namespace vantor {
namespace {

// HID_ID=0003:00000755:00000001 (bus:vendor:product) from the HID uevent.
bool ReadHidId(const fs::path& ueventPath, unsigned* vendor, unsigned* product) {
  std::ifstream in(ueventPath);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("HID_ID=", 0) != 0) continue;
    unsigned bus = 0;
    std::istringstream fields(line.substr(7));
    char colon1 = 0, colon2 = 0;
    fields >> std::hex >> bus >> colon1 >> *vendor >> colon2 >> *product;
    return !fields.fail() && colon1 == ':' && colon2 == ':';
  }
  return false;
}

// The nearest ancestor that has a bcdDevice (the USB device): its version,
// its serial number string (no "serial" file: none) and its name, which
// names the port (bus 1, port 1, hub port 3: 1-1.3), not the plugging.
void ReadUsbDevice(const fs::path& hidDevice, HidrawNode* node) {
  std::error_code ec;
  fs::path dir = fs::canonical(hidDevice, ec);
  if (ec) return;
  for (int depth = 0; depth < 8 && dir.has_relative_path(); ++depth) {
    std::ifstream in(dir / "bcdDevice");
    if (in >> std::hex >> node->version) {
      std::ifstream serial(dir / "serial");
      std::getline(serial, node->serial);
      node->usbPath = dir.filename().string();
      return;
    }
    node->version = 0;
    dir = dir.parent_path();
  }
}

// Numeric order of hidrawN, as the kernel numbers them.
long NodeNumber(const std::string& name) {
  return std::strtol(name.c_str() + std::min<std::size_t>(6, name.size()), nullptr, 10);
}

// Opens the node and takes it exclusively: one program per reader, or two
// would interleave their reports. -1 with errno set (EWOULDBLOCK: another
// open descriptor holds it).
int OpenNode(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd == 0) {  // 0 means "not open" to our callers
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    const int error = errno;
    ::close(fd);
    fd = moved;
    errno = error;
  }
  if (fd < 0) return -1;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    ::close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

bool HeldElsewhere(int error) { return error == EWOULDBLOCK || error == EAGAIN; }

}  // namespace

bool ReadHidrawNode(const std::string& sysRoot, const std::string& devRoot, const std::string& name,
                    bool tryOpen, HidrawNode* node) {
  if (name.rfind("hidraw", 0) != 0) return false;
  *node = HidrawNode{};
  node->name = name;
  node->devicePath = devRoot + "/" + name;
  const fs::path device = fs::path(sysRoot) / name / "device";
  if (!ReadHidId(device / "uevent", &node->vendor, &node->product)) return false;
  ReadUsbDevice(device, node);
  node->isReader = node->vendor == VANTOR_VENDOR_ID && node->product == VANTOR_PRODUCT_ID &&
                   node->version == VANTOR_VERSION;
  if (tryOpen && node->isReader) {
    const int fd = OpenNode(node->devicePath);
    const int error = fd < 0 ? errno : 0;
    node->inUse = HeldElsewhere(error);
    node->openError = node->inUse ? 0 : error;
    if (fd >= 0) ::close(fd);
  }
  return true;
}

std::vector<HidrawNode> ListHidrawNodes(const std::string& sysRoot, const std::string& devRoot,
                                        bool tryOpen) {
  std::vector<HidrawNode> nodes;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(sysRoot, ec)) {
    HidrawNode node;
    if (ReadHidrawNode(sysRoot, devRoot, entry.path().filename().string(), tryOpen, &node)) {
      nodes.push_back(node);
    }
  }
  std::sort(nodes.begin(), nodes.end(), [](const HidrawNode& a, const HidrawNode& b) {
    return NodeNumber(a.name) < NodeNumber(b.name);
  });
  return nodes;
}

int OpenFirstReader(const std::string& sysRoot, const std::string& devRoot, std::string* heldPath) {
  if (heldPath) heldPath->clear();
  for (const auto& node : ListHidrawNodes(sysRoot, devRoot, false)) {
    if (!node.isReader) continue;
    const int fd = OpenNode(node.devicePath);
    if (fd >= 0) {  // the first match that opens wins
      if (heldPath) heldPath->clear();
      return fd;
    }
    if (heldPath && heldPath->empty() && HeldElsewhere(errno)) *heldPath = node.devicePath;
  }
  return -1;
}

int OpenReaderNode(const std::string& sysRoot, const std::string& devRoot,
                   const std::string& devicePath, int* error) {
  *error = 0;
  for (const auto& node : ListHidrawNodes(sysRoot, devRoot, false)) {
    if (!node.isReader || node.devicePath != devicePath) continue;
    const int fd = OpenNode(node.devicePath);
    if (fd < 0) *error = errno;
    return fd;
  }
  return -1;
}

}  // namespace vantor
