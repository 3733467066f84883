// Finding the reader among the hidraw nodes of a Linux system: vendor and
// product from the HID device's uevent; the version, serial number and port
// from the USB device above it (the nearest ancestor with a bcdDevice). The
// roots are parameters so that tests can walk a fake tree.
#pragma once

#include <string>
#include <vector>

namespace vantor {

struct HidrawNode {
  std::string name;        // hidrawN
  std::string devicePath;  // <devRoot>/hidrawN
  unsigned vendor = 0;
  unsigned product = 0;
  unsigned version = 0;   // 0 when no USB device with bcdDevice was found
  std::string serial;     // the USB device's serial number string, "" when none
  std::string usbPath;    // its sysfs name, the port it is plugged into (1-1.3)
  bool isReader = false;  // all three match the reader identity
  int openError = 0;      // errno of a trial open (0: could be opened)
  bool inUse = false;     // opened, but another program holds it
};

constexpr const char* kSysHidrawRoot = "/sys/class/hidraw";
constexpr const char* kDevRoot = "/dev";

// The hidraw node name (hidrawN) as ListHidrawNodes sees it; false when it
// is no hidraw node or has no HID device (gone, or not yet there).
bool ReadHidrawNode(const std::string& sysRoot, const std::string& devRoot, const std::string& name,
                    bool tryOpen, HidrawNode* node);

// Every hidraw node in enumeration order (hidraw0, hidraw1, ...). When
// tryOpen is set, each reader node is opened once to learn whether this
// user may use it and whether another program holds it.
std::vector<HidrawNode> ListHidrawNodes(const std::string& sysRoot, const std::string& devRoot,
                                        bool tryOpen);

// Opens the first node that is the reader, skipping nodes that cannot be
// opened or that another program holds; returns the descriptor (never 0),
// which holds the node exclusively until it is closed, or -1. With -1,
// *heldPath (when given) names the first reader found held, or is empty.
int OpenFirstReader(const std::string& sysRoot, const std::string& devRoot,
                    std::string* heldPath = nullptr);

// Opens the reader node at devicePath (a path ListHidrawNodes gives);
// -1 with *error 0 when no reader is at that path, or with the errno of
// the failed open.
int OpenReaderNode(const std::string& sysRoot, const std::string& devRoot,
                   const std::string& devicePath, int* error);

}  // namespace vantor
