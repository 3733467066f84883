// Reader discovery against a fake sysfs tree.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "reader/discovery.h"
#include "test_util.h"

namespace fs = std::filesystem;

namespace vantor::test {
namespace {

// Builds sys/devices/usbN/{bcdDevice, intf/hid/uevent}, the class link
// sys/class/hidraw/hidrawN/device -> the HID device, and dev/hidrawN.
class FakeSysfs {
 public:
  void Add(int n, unsigned vendor, unsigned product, const char* bcd, bool openable = true) {
    const std::string usb = dir_.path() + "/devices/usb" + std::to_string(n);
    const std::string hid = usb + "/1-1:1.0/0003:HID." + std::to_string(n);
    fs::create_directories(hid);
    char hidId[64];
    std::snprintf(hidId, sizeof hidId, "HID_ID=0003:%08X:%08X\n", vendor, product);
    dir_.Write(
        "devices/usb" + std::to_string(n) + "/1-1:1.0/0003:HID." + std::to_string(n) + "/uevent",
        std::string("DRIVER=hid-generic\n") + hidId + "HID_NAME=test\n");
    if (bcd) dir_.Write("devices/usb" + std::to_string(n) + "/bcdDevice", std::string(bcd) + "\n");
    const std::string cls = sys() + "/hidraw" + std::to_string(n);
    fs::create_directories(cls);
    fs::create_directory_symlink(hid, cls + "/device");
    fs::create_directories(dev());
    const std::string node = dev() + "/hidraw" + std::to_string(n);
    // A node that cannot be opened: a directory in its place (even root
    // cannot open a directory for writing).
    if (openable) {
      dir_.Write("dev/hidraw" + std::to_string(n), "");
    } else {
      fs::create_directory(node);
    }
  }
  std::string sys() const { return dir_.path() + "/class/hidraw"; }
  std::string dev() const { return dir_.path() + "/dev"; }

 private:
  TempDir dir_;
};

// Which node an open descriptor refers to.
std::string NodeOf(int fd) {
  return fs::read_symlink("/proc/self/fd/" + std::to_string(fd)).filename().string();
}

TEST(Discovery, FirstMatchingNodeWins) {
  FakeSysfs tree;
  tree.Add(0, 0x046D, 0xC077, "0110");   // a mouse
  tree.Add(1, 0x0755, 0x0001, "0206");   // right device, wrong version
  tree.Add(2, 0x0755, 0x0002, "0205");   // wrong product
  tree.Add(3, 0x0755, 0x0001, "0205");   // the reader
  tree.Add(10, 0x0755, 0x0001, "0205");  // a second reader, later in order
  const int fd = OpenFirstReader(tree.sys(), tree.dev());
  ASSERT_GE(fd, 1);
  EXPECT_EQ(NodeOf(fd), "hidraw3");
  ::close(fd);

  const auto nodes = ListHidrawNodes(tree.sys(), tree.dev(), false);
  ASSERT_EQ(nodes.size(), 5u);
  EXPECT_EQ(nodes[1].version, 0x0206u);
  EXPECT_FALSE(nodes[1].isReader);
  EXPECT_EQ(nodes[4].name, "hidraw10");  // numeric, not lexical, order
}

TEST(Discovery, UnopenableNodeIsSkipped) {
  FakeSysfs tree;
  tree.Add(0, 0x0755, 0x0001, "0205", false);
  tree.Add(1, 0x0755, 0x0001, "0205");
  const int fd = OpenFirstReader(tree.sys(), tree.dev());
  ASSERT_GE(fd, 1);
  EXPECT_EQ(NodeOf(fd), "hidraw1");
  ::close(fd);
  const auto nodes = ListHidrawNodes(tree.sys(), tree.dev(), true);
  EXPECT_NE(nodes[0].openError, 0);
  EXPECT_EQ(nodes[1].openError, 0);
}

// Each open holds its node: the next open takes the next reader, and with
// none left the held one is named.
TEST(Discovery, HeldReaderIsSkippedAndNamed) {
  FakeSysfs tree;
  tree.Add(0, 0x0755, 0x0001, "0205");
  tree.Add(1, 0x0755, 0x0001, "0205");
  std::string held = "stale";
  const int first = OpenFirstReader(tree.sys(), tree.dev(), &held);
  const int second = OpenFirstReader(tree.sys(), tree.dev(), &held);
  ASSERT_GE(first, 1);
  ASSERT_GE(second, 1);
  EXPECT_EQ(NodeOf(first), "hidraw0");
  EXPECT_EQ(NodeOf(second), "hidraw1");
  EXPECT_EQ(held, "");
  EXPECT_EQ(OpenFirstReader(tree.sys(), tree.dev(), &held), -1);
  EXPECT_EQ(held, tree.dev() + "/hidraw0");
  for (const auto& node : ListHidrawNodes(tree.sys(), tree.dev(), true)) {
    EXPECT_TRUE(node.inUse) << node.name;
    EXPECT_EQ(node.openError, 0) << node.name;
  }
  ::close(first);
  const int again = OpenFirstReader(tree.sys(), tree.dev(), &held);
  ASSERT_GE(again, 1);
  EXPECT_EQ(NodeOf(again), "hidraw0");
  ::close(again);
  ::close(second);
}

TEST(Discovery, NoReaderOrNoVersion) {
  FakeSysfs tree;
  tree.Add(0, 0x0755, 0x0001, nullptr);  // no USB device above it
  EXPECT_EQ(OpenFirstReader(tree.sys(), tree.dev()), -1);
  EXPECT_EQ(OpenFirstReader(tree.sys() + "/missing", tree.dev()), -1);
}

}  // namespace
}  // namespace vantor::test
