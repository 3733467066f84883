// Reader discovery against a fake sysfs tree.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "reader/discovery.h"
#include "test_util.h"
#include "vantor/reader.h"

namespace fs = std::filesystem;

namespace vantor::test {
namespace {

// Builds sys/devices/usbN/{bcdDevice, serial} (the root hub), below it the
// USB device PORT/{bcdDevice, serial}, PORT/PORT:1.0/0003:HID.N/uevent,
// the class link sys/class/hidraw/hidrawN/device -> the HID device, and
// dev/hidrawN. PORT is N-1 unless given.
class FakeSysfs {
 public:
  void Add(int n, unsigned vendor, unsigned product, const char* bcd, bool openable = true,
           const char* serial = nullptr, std::string port = "") {
    if (port.empty()) port = std::to_string(n) + "-1";
    const std::string hub = "devices/usb" + std::to_string(n);
    const std::string usb = hub + "/" + port;
    const std::string hid = usb + "/" + port + ":1.0/0003:HID." + std::to_string(n);
    fs::create_directories(dir_.path() + "/" + hid);
    dir_.Write(hub + "/bcdDevice", "0606\n");
    dir_.Write(hub + "/serial", "0000:00:14.0\n");
    char hidId[64];
    std::snprintf(hidId, sizeof hidId, "HID_ID=0003:%08X:%08X\n", vendor, product);
    dir_.Write(hid + "/uevent", std::string("DRIVER=hid-generic\n") + hidId + "HID_NAME=test\n");
    if (bcd) dir_.Write(usb + "/bcdDevice", std::string(bcd) + "\n");
    if (serial) dir_.Write(usb + "/serial", std::string(serial) + "\n");
    const std::string cls = sys() + "/hidraw" + std::to_string(n);
    fs::create_directories(cls);
    fs::create_directory_symlink(dir_.path() + "/" + hid, cls + "/device");
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
  tree.Add(0, 0x046D, 0xC077, "0110");                            // a mouse
  tree.Add(1, 0x0755, 0x0001, "0206");                            // right device, wrong version
  tree.Add(2, 0x0755, 0x0002, "0205");                            // wrong product
  tree.Add(3, 0x0755, 0x0001, "0205", true, "VR 0001", "1-1.3");  // the reader, behind a hub
  tree.Add(10, 0x0755, 0x0001, "0205");  // a second reader, later in order, no serial
  const int fd = OpenFirstReader(tree.sys(), tree.dev());
  ASSERT_GE(fd, 1);
  EXPECT_EQ(NodeOf(fd), "hidraw3");
  ::close(fd);

  const auto nodes = ListHidrawNodes(tree.sys(), tree.dev(), false);
  ASSERT_EQ(nodes.size(), 5u);
  EXPECT_EQ(nodes[1].version, 0x0206u);
  EXPECT_FALSE(nodes[1].isReader);
  EXPECT_EQ(nodes[4].name, "hidraw10");  // numeric, not lexical, order
  // Serial and port of the USB device, never of the root hub above it.
  std::string identities;
  for (const auto& node : nodes) identities += node.serial + "@" + node.usbPath + ";";
  EXPECT_EQ(identities, "@0-1;@1-1;@2-1;VR 0001@1-1.3;@10-1;");
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
  tree.Add(0, 0x0755, 0x0001, nullptr);  // only the root hub has a bcdDevice
  EXPECT_EQ(OpenFirstReader(tree.sys(), tree.dev()), -1);
  EXPECT_EQ(OpenFirstReader(tree.sys() + "/missing", tree.dev()), -1);
}

// A listed reader's serial for other programs: the emulated readers' come
// from their state files.
TEST(Discovery, SerialOfAListedReader) {
  TempDir dir;
  dir.Write("a.json", R"({"serial": "VR-0042"})");
  dir.Write("b.json", R"({"serial": 42})");  // not a string: none
  const std::string a = dir.File("a.json"), b = dir.File("b.json"), none = dir.File("c.json");
  ScopedEnv sim("VANTOR_READER_SIM", (a + ":" + b + ":" + none).c_str());
  struct Case {
    std::string path;
    int capacity;
    int result;
    const char* written;  // the buffer afterwards
  } cases[] = {
      {a, 8, 7, "VR-0042"},
      {a, 7, VANTOR_ERR_LENGTH, "#"},
      {b, 1, 0, ""},
      {none, 1, 0, ""},
      {none, 0, VANTOR_ERR_LENGTH, "#"},
      {a, -1, VANTOR_ERR_LENGTH, "#"},
      {a + "x", 64, VANTOR_ERR_NO_READER, "#"},
      {"", 64, VANTOR_ERR_NO_READER, "#"},
  };
  for (const auto& c : cases) {
    char buffer[16] = "#";
    EXPECT_EQ(DllGetReaderSerial(c.path.c_str(), buffer, c.capacity), c.result) << c.path;
    EXPECT_STREQ(buffer, c.written) << c.path << " " << c.capacity;
  }
  EXPECT_EQ(DllGetReaderSerial(a.c_str(), nullptr, 0), VANTOR_ERR_LENGTH);
}

}  // namespace
}  // namespace vantor::test
