// The emulated reader's persistent state: what it answers and everything it
// was told, kept in a JSON file between links. Byte strings are stored as
// upper-case hex without blanks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "hex.h"

namespace vantor::sim {

using Bytes = std::vector<std::uint8_t>;
using Json = nlohmann::ordered_json;

struct OfflineRecord {
  std::uint8_t type = 0;
  Bytes data;
};

// Firmware download as received, each part as hex.
struct FirmwareImage {
  std::string start;
  std::string first;
  std::vector<std::string> blocks;
  std::string complete;
};

enum class FaultAction { kStatus, kBadChecksum, kNoAnswer, kDisconnect, kOversize };

// Replaces the normal handling of the nth frame (1-based) carrying code.
struct Fault {
  std::uint8_t code = 0;
  std::uint64_t nth = 0;
  FaultAction action = FaultAction::kStatus;
  std::uint8_t status = 0;
};

constexpr std::uint64_t kDefaultLogLimit = 100000;

struct SimState {
  // Kept untouched by the emulator; written back only when absent.
  std::string firmwareVersion = "VR-0205 V2.05";
  std::uint16_t versionTrailer = 0;
  Bytes atr = {0x3B, 0x68, 0x00, 0x00, 0x00, 0x73, 0xC8, 0x40, 0x13, 0x00, 0x90, 0x00};
  std::map<std::string, Bytes> apduResponses;  // keyed by upper-case hex
  std::vector<Fault> faults;
  int linkMsPerReport = 0;
  // The USB serial number string the reader presents ("" for none); kept in
  // the file only when it was given.
  std::string serial;

  // Changed by the host's commands.
  Bytes offlineFileName;
  std::vector<OfflineRecord> offlineRecords;
  FirmwareImage firmware;
  Bytes led;
  Bytes buzzer;
  Json log = Json::array();  // {"code", "slot", "data"} per received frame
  // The log keeps the newest logLimit entries; logDropped counts the older
  // ones it let go.
  std::uint64_t logLimit = kDefaultLogLimit;
  std::uint64_t logDropped = 0;

  // The file as read, so fields this program does not know survive.
  Json document = Json::object();
};

// Appends one entry to the log. Older entries go in batches, so that the
// log holds at most twice its limit in memory and appending stays cheap.
void AppendLog(SimState& state, Json entry);

// Thrown when a state file cannot be read or does not hold a valid state.
class StateError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Deepest nesting of objects and arrays a state file may have (its own
// fields need three levels).
constexpr int kMaxNesting = 8;

// The state a state file's text holds; StateError when it is no valid state
// (not JSON, nested deeper than kMaxNesting, a field out of its range).
SimState ParseState(const std::string& text);

// Reads the state file (ParseState); a missing file is a factory-fresh
// reader. Anything but a regular file (a folder, a FIFO, a device) is
// refused without being read.
SimState LoadState(const std::string& path);

// The longest serial number a USB string descriptor carries, in UTF-16
// code units (up to 378 bytes of UTF-8).
constexpr std::size_t kMaxSerial = 126;

// The serial number a state file's text holds when it is a valid one ("" when
// none), without reading the rest of the state.
std::string SerialIn(const std::string& text);

// The state file's text for state: the document as read with the fields the
// emulator keeps brought up to date, indented by two, ending with a newline.
std::string StateText(const SimState& state);

// Writes the state file (StateText) atomically (temp file, then rename). A symbolic
// link is written through: the file it leads to is replaced, in its own
// folder, keeping its mode (and its owner where the system allows). false
// with *error set when it could not be written.
bool SaveState(const std::string& path, const SimState& state, std::string* error);

// The file path leads to once the symbolic links of its last component are
// followed (path itself when it is none); the file need not exist.
std::string ResolveStatePath(const std::string& path);

}  // namespace vantor::sim
