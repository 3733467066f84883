// Reader discovery against a fake sysfs tree.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <tuple>

#include "reader/discovery.h"
#include "test_util.h"
#include "vantor/reader.h"

namespace fs = std::filesystem;

namespace vantor::test {
namespace {

// sys/devices/usbN (the root hub, with its own bcdDevice and serial), below it
// the USB device PORT (N-1 unless given) and its HID interface, the class link
// sys/class/hidraw/hidrawN/device, and dev/hidrawN (a directory if unopenable).
class FakeSysfs {
 public:
  void Add(int n, unsigned vendor, unsigned product, const char* bcd, bool openable = true,
           const char* serial = nullptr, std::string port = "") {
    if (port.empty()) port = std::to_string(n) + "-1";
    const std::string hub = "devices/usb" + std::to_string(n), usb = hub + "/" + port;
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
    fs::create_directories(openable ? dev() : dev() + "/hidraw" + std::to_string(n));
    if (openable) dir_.Write("dev/hidraw" + std::to_string(n), "");
  }
  std::string sys() const { return dir_.path() + "/class/hidraw"; }
  std::string dev() const { return dir_.path() + "/dev"; }

 private:
  TempDir dir_;
};

std::string NodeOf(int fd) {
  return fd < 0 ? "none" : fs::read_symlink("/proc/self/fd/" + std::to_string(fd)).filename();
}

TEST(Discovery, FirstMatchingOpenableNodeWins) {
  FakeSysfs tree;
  tree.Add(0, 0x046D, 0xC077, "0110");                            // a mouse
  tree.Add(1, 0x0755, 0x0001, "0206");                            // right device, wrong version
  tree.Add(2, 0x0755, 0x0002, "0205");                            // wrong product
  tree.Add(3, 0x0755, 0x0001, nullptr);                           // only the hub has a version
  tree.Add(4, 0x0755, 0x0001, "0205", false);                     // cannot be opened
  tree.Add(5, 0x0755, 0x0001, "0205", true, "VR 0001", "1-1.3");  // the reader, behind a hub
  tree.Add(10, 0x0755, 0x0001, "0205");  // a second reader, later in order, no serial
  const int fd = OpenFirstReader(tree.sys(), tree.dev());
  EXPECT_EQ(NodeOf(fd), "hidraw5");
  ::close(fd);
  EXPECT_EQ(OpenFirstReader(tree.sys() + "/missing", tree.dev()), -1);

  const auto nodes = ListHidrawNodes(tree.sys(), tree.dev(), true);
  ASSERT_EQ(nodes.size(), 7u);
  EXPECT_EQ(nodes[1].version, 0x0206u);
  EXPECT_FALSE(nodes[1].isReader);
  EXPECT_EQ(nodes[6].name, "hidraw10");  // numeric, not lexical, order
  EXPECT_NE(nodes[4].openError, 0);
  EXPECT_EQ(nodes[5].openError, 0);
  // Serial and port of the USB device, never of the root hub above it (hidraw3,
  // without a version, has no USB device of its own).
  std::string identities;
  for (const auto& node : nodes) {
    identities += node.name == "hidraw3" ? "-;" : node.serial + "@" + node.usbPath + ";";
  }
  EXPECT_EQ(identities, "@0-1;@1-1;@2-1;-;@4-1;VR 0001@1-1.3;@10-1;");
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
  EXPECT_EQ(NodeOf(first) + NodeOf(second) + held, "hidraw0hidraw1");
  EXPECT_EQ(OpenFirstReader(tree.sys(), tree.dev(), &held), -1);
  EXPECT_EQ(held, tree.dev() + "/hidraw0");
  for (const auto& node : ListHidrawNodes(tree.sys(), tree.dev(), true)) {
    EXPECT_TRUE(node.inUse && node.openError == 0) << node.name;
  }
  ::close(first);
  const int again = OpenFirstReader(tree.sys(), tree.dev(), &held);
  EXPECT_EQ(NodeOf(again), "hidraw0");
  ::close(again);
  ::close(second);
}

// The emulated readers' serials come from their state files; one may be
// as long as USB allows, 126 UTF-16 units (64 x U+00E9 are 64 of them). A
// FIFO among the state files is not opened: it has none.
TEST(Discovery, SerialOfAListedReader) {
  TempDir dir;
  std::string e64;
  for (int i = 0; i < 64; ++i) e64 += "\u00e9";
  dir.Write("a.json", R"({"serial": "VR-0042"})");
  dir.Write("b.json", R"({"serial": 42})");  // not a string: none
  dir.Write("e.json", R"({"serial": ")" + e64 + "\"}");
  ASSERT_EQ(::mkfifo(dir.File("f.json").c_str(), 0600), 0);
  const std::string a = dir.File("a.json"), b = dir.File("b.json"), none = dir.File("c.json");
  const std::string fifo = dir.File("f.json"), e = dir.File("e.json");
  ScopedEnv sim("VANTOR_READER_SIM", (fifo + ":" + a + ":" + b + ":" + none + ":" + e).c_str());
  // path, capacity, result, the buffer afterwards
  const std::tuple<std::string, int, int, std::string> cases[] = {
      {a, 8, 7, "VR-0042"},
      {a, 7, VANTOR_ERR_LENGTH, "#"},
      {b, 1, 0, ""},
      {none, 0, VANTOR_ERR_LENGTH, "#"},
      {a, -1, VANTOR_ERR_LENGTH, "#"},
      {a + "x", 64, VANTOR_ERR_NO_READER, "#"},
      {"", 64, VANTOR_ERR_NO_READER, "#"},
      {fifo, 1, 0, ""},
      {e, VANTOR_ROOM_SERIAL, 128, e64}};
  for (const auto& [path, capacity, result, written] : cases) {
    char buffer[VANTOR_ROOM_SERIAL] = "#";
    EXPECT_EQ(DllGetReaderSerial(path.c_str(), buffer, capacity), result) << path;
    EXPECT_EQ(buffer, written) << path << " " << capacity;
  }
  EXPECT_EQ(DllGetReaderSerial(a.c_str(), nullptr, 0), VANTOR_ERR_LENGTH);
}

}  // namespace
}  // namespace vantor::test
