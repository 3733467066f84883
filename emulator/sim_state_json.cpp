// The state file's schema: the state from the file's text, checked field by
// field, and the text written back for a state.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>

#include "hex.h"
#include "sim_state.h"

namespace vantor::sim {
namespace {

using text::FromHex;
using text::ToHex;

// Longest byte string one response frame can carry (16-bit length field).
constexpr std::size_t kMaxAnswer = 0xFFFF;

// Lets the log's oldest entries go until at most keep are left.
void DropOldest(SimState& s, std::uint64_t keep) {
  if (s.log.size() <= keep) return;
  const auto drop = static_cast<std::ptrdiff_t>(s.log.size() - keep);
  auto& entries = s.log.get_ref<Json::array_t&>();
  entries.erase(entries.begin(), entries.begin() + drop);
  s.logDropped += static_cast<std::uint64_t>(drop);
}

[[noreturn]] void Bad(const std::string& field, const std::string& what) {
  throw StateError("field \"" + field + "\" " + what);
}

// Integer in [lo, hi]; floats, booleans and strings are refused.
std::int64_t IntIn(const Json& v, std::int64_t lo, std::int64_t hi, const std::string& field) {
  const std::string range = "must be an integer " + std::to_string(lo) + ".." + std::to_string(hi);
  if (v.is_number_unsigned()) {
    const auto u = v.get<std::uint64_t>();
    if (u > static_cast<std::uint64_t>(hi)) Bad(field, range);
    if (static_cast<std::int64_t>(u) < lo) Bad(field, range);
    return static_cast<std::int64_t>(u);
  }
  if (!v.is_number_integer()) Bad(field, range);
  const auto i = v.get<std::int64_t>();
  if (i < lo || i > hi) Bad(field, range);
  return i;
}

Bytes HexIn(const Json& v, const std::string& field,
            std::size_t maxBytes = std::numeric_limits<std::size_t>::max()) {
  if (!v.is_string()) Bad(field, "must be a hex string");
  Bytes bytes;
  if (!FromHex(v.get<std::string>(), &bytes)) Bad(field, "must be a hex string without blanks");
  if (bytes.size() > maxBytes) {
    Bad(field, "is longer than " + std::to_string(maxBytes) + " bytes");
  }
  return bytes;
}

std::string HexTextIn(const Json& v, const std::string& field) { return ToHex(HexIn(v, field)); }

Bytes ByteArrayIn(const Json& v, const std::string& field) {
  if (!v.is_array()) Bad(field, "must be an array of integers 0..255");
  Bytes out;
  out.reserve(v.size());
  for (const auto& e : v) out.push_back(static_cast<std::uint8_t>(IntIn(e, 0, 255, field)));
  return out;
}

const Json* Find(const Json& obj, const char* name) {
  const auto it = obj.find(name);
  return it == obj.end() ? nullptr : &*it;
}

FaultAction ActionIn(const Json& v, const std::string& field) {
  static const std::pair<const char*, FaultAction> kActions[] = {
      {"status", FaultAction::kStatus},      {"bad_checksum", FaultAction::kBadChecksum},
      {"no_answer", FaultAction::kNoAnswer}, {"disconnect", FaultAction::kDisconnect},
      {"oversize", FaultAction::kOversize},
  };
  if (v.is_string()) {
    for (const auto& [name, action] : kActions) {
      if (v.get<std::string>() == name) return action;
    }
  }
  Bad(field, "must be one of status, bad_checksum, no_answer, disconnect, oversize");
}

void ReadFaults(const Json& v, SimState& s) {
  if (!v.is_array()) Bad("faults", "must be an array");
  for (std::size_t i = 0; i < v.size(); ++i) {
    const Json& f = v[i];
    const std::string at = "faults[" + std::to_string(i) + "]";
    if (!f.is_object()) Bad(at, "must be an object");
    const Json* code = Find(f, "code");
    const Json* nth = Find(f, "nth");
    const Json* action = Find(f, "action");
    const Json* status = Find(f, "status");
    if (!code || !nth || !action) Bad(at, "needs code, nth and action");
    Fault fault;
    fault.code = static_cast<std::uint8_t>(IntIn(*code, 0, 255, at + ".code"));
    fault.nth = static_cast<std::uint64_t>(
        IntIn(*nth, 1, std::numeric_limits<std::int64_t>::max(), at + ".nth"));
    fault.action = ActionIn(*action, at + ".action");
    if (fault.action == FaultAction::kStatus && !status) Bad(at, "needs status");
    if (status) {
      fault.status = static_cast<std::uint8_t>(IntIn(*status, 0, 255, at + ".status"));
    }
    s.faults.push_back(fault);
  }
}

void ReadApduResponses(const Json& v, SimState& s) {
  if (!v.is_object()) Bad("apdu_responses", "must be an object");
  for (const auto& [key, value] : v.items()) {
    const std::string field = "apdu_responses." + key;
    Bytes command;
    if (!FromHex(key, &command)) Bad(field, "must be keyed by a hex command APDU");
    if (!s.apduResponses.emplace(ToHex(command), HexIn(value, field, kMaxAnswer)).second) {
      Bad(field, "repeats a command APDU");
    }
  }
}

void ReadFirmware(const Json& v, SimState& s) {
  if (!v.is_object()) Bad("firmware", "must be an object");
  if (const Json* p = Find(v, "start")) s.firmware.start = HexTextIn(*p, "firmware.start");
  if (const Json* p = Find(v, "first")) s.firmware.first = HexTextIn(*p, "firmware.first");
  if (const Json* p = Find(v, "complete")) {
    s.firmware.complete = HexTextIn(*p, "firmware.complete");
  }
  if (const Json* p = Find(v, "blocks")) {
    if (!p->is_array()) Bad("firmware.blocks", "must be an array of hex strings");
    for (const auto& b : *p) s.firmware.blocks.push_back(HexTextIn(b, "firmware.blocks"));
  }
}

void ReadOfflineRecords(const Json& v, SimState& s) {
  if (!v.is_array()) Bad("offline_records", "must be an array");
  for (std::size_t i = 0; i < v.size(); ++i) {
    const std::string at = "offline_records[" + std::to_string(i) + "]";
    const Json& r = v[i];
    if (!r.is_object()) Bad(at, "must be an object");
    const Json* type = Find(r, "type");
    const Json* data = Find(r, "data");
    if (!type || !data) Bad(at, "needs type and data");
    OfflineRecord record;
    record.type = static_cast<std::uint8_t>(IntIn(*type, 0, 255, at + ".type"));
    record.data = HexIn(*data, at + ".data");
    s.offlineRecords.push_back(std::move(record));
  }
}

// The UTF-16 code units UTF-8 text takes: one per character, two for a
// character beyond U+FFFF (a four-byte sequence). The parser has checked
// that the text is UTF-8.
std::size_t Utf16Units(const std::string& text) {
  std::size_t units = 0;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte & 0xC0) != 0x80) ++units;  // a character's first byte
    if (byte >= 0xF0) ++units;           // ... of a surrogate pair
  }
  return units;
}

// What is wrong with a serial number string, or nullptr: a USB string
// descriptor carries at most kMaxSerial UTF-16 units, and the gadget takes
// it as one line.
const char* SerialFault(const Json& v) {
  if (!v.is_string()) return "must be a string";
  const auto& text = v.get_ref<const std::string&>();
  if (Utf16Units(text) > kMaxSerial) return "is longer than 126 UTF-16 units";
  for (const char c : text) {
    if (static_cast<unsigned char>(c) < 0x20) return "must not hold control characters";
  }
  return nullptr;
}

void ReadFields(SimState& s) {
  const Json& d = s.document;
  if (const Json* p = Find(d, "firmware_version")) {
    if (!p->is_string()) Bad("firmware_version", "must be a string");
    s.firmwareVersion = p->get<std::string>();
    // The answer carries the text plus four bytes in one frame.
    if (s.firmwareVersion.size() > kMaxAnswer - 4) Bad("firmware_version", "is too long");
  }
  if (const Json* p = Find(d, "version_trailer")) {
    s.versionTrailer = static_cast<std::uint16_t>(IntIn(*p, 0, 0xFFFF, "version_trailer"));
  }
  if (const Json* p = Find(d, "atr")) s.atr = HexIn(*p, "atr", kMaxAnswer);
  if (const Json* p = Find(d, "apdu_responses")) ReadApduResponses(*p, s);
  if (const Json* p = Find(d, "faults")) ReadFaults(*p, s);
  if (const Json* p = Find(d, "link_ms_per_report")) {
    s.linkMsPerReport =
        static_cast<int>(IntIn(*p, 0, std::numeric_limits<int>::max(), "link_ms_per_report"));
  }
  if (const Json* p = Find(d, "serial")) {
    if (const char* fault = SerialFault(*p)) Bad("serial", fault);
    s.serial = p->get<std::string>();
  }
  if (const Json* p = Find(d, "offline_file_name")) {
    s.offlineFileName = HexIn(*p, "offline_file_name", kMaxAnswer);
  }
  if (const Json* p = Find(d, "offline_records")) ReadOfflineRecords(*p, s);
  if (const Json* p = Find(d, "firmware")) ReadFirmware(*p, s);
  if (const Json* p = Find(d, "led")) s.led = ByteArrayIn(*p, "led");
  if (const Json* p = Find(d, "buzzer")) s.buzzer = ByteArrayIn(*p, "buzzer");
  if (const Json* p = Find(d, "log_limit")) {
    s.logLimit = static_cast<std::uint64_t>(
        IntIn(*p, 0, std::numeric_limits<std::int64_t>::max(), "log_limit"));
  }
  if (const Json* p = Find(d, "log_dropped")) {
    s.logDropped = static_cast<std::uint64_t>(
        IntIn(*p, 0, std::numeric_limits<std::int64_t>::max(), "log_dropped"));
  }
  if (const Json* p = Find(d, "log")) {
    if (!p->is_array()) Bad("log", "must be an array");
    s.log = *p;
    DropOldest(s, s.logLimit);
  }
}

// Whether JSON text nests objects and arrays deeper than limit (text in
// strings aside). Checked before parsing: the parser would build any depth,
// and writing it back recurses once per level.
bool NestedDeeperThan(const std::string& text, int limit) {
  int depth = 0;
  bool inString = false, escaped = false;
  for (const char c : text) {
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '{' || c == '[') {
      if (++depth > limit) return true;
    } else if ((c == '}' || c == ']') && depth > 0) {
      --depth;
    }
  }
  return false;
}

Json ByteArrayOut(const Bytes& bytes) {
  Json out = Json::array();
  for (const auto b : bytes) out.push_back(b);
  return out;
}

}  // namespace

void AppendLog(SimState& state, Json entry) {
  state.log.push_back(std::move(entry));
  const std::uint64_t size = state.log.size();
  if (size > state.logLimit && size - state.logLimit > state.logLimit) {
    DropOldest(state, state.logLimit);
  }
}

SimState ParseState(const std::string& text) {
  SimState state;
  if (NestedDeeperThan(text, kMaxNesting)) {
    throw StateError("nests objects and arrays deeper than " + std::to_string(kMaxNesting) +
                     " levels");
  }
  try {
    state.document = Json::parse(text);
  } catch (const Json::parse_error& e) {
    throw StateError("is not valid JSON (error at byte " + std::to_string(e.byte) + ")");
  } catch (const Json::exception& e) {
    // A number too large for any field's type, for one.
    throw StateError(std::string("is not valid JSON (") + e.what() + ")");
  }
  if (!state.document.is_object()) throw StateError("must hold a JSON object");
  ReadFields(state);
  return state;
}

std::string SerialIn(const std::string& text) {
  try {
    // Every other member of the top object is skipped while parsing.
    const auto onlySerial = [](int depth, Json::parse_event_t event, Json& parsed) {
      return depth != 1 || event != Json::parse_event_t::key || parsed == "serial";
    };
    const Json doc = Json::parse(text, onlySerial, false);
    const auto it = doc.is_object() ? doc.find("serial") : doc.end();
    if (it != doc.end() && SerialFault(*it) == nullptr) return it->get<std::string>();
  } catch (const std::exception&) {
    // Out of memory: no serial.
  }
  return {};
}

std::string StateText(const SimState& state) {
  Json doc = state.document;
  // Fields the emulator never changes keep their written form.
  if (!doc.contains("firmware_version")) doc["firmware_version"] = state.firmwareVersion;
  if (!doc.contains("version_trailer")) doc["version_trailer"] = state.versionTrailer;
  if (!doc.contains("atr")) doc["atr"] = ToHex(state.atr);
  if (!doc.contains("apdu_responses")) {
    Json responses = Json::object();
    for (const auto& [command, response] : state.apduResponses) {
      responses[command] = ToHex(response);
    }
    doc["apdu_responses"] = std::move(responses);
  }
  doc["offline_file_name"] = ToHex(state.offlineFileName);
  Json records = Json::array();
  for (const auto& r : state.offlineRecords) {
    records.push_back(Json{{"type", r.type}, {"data", ToHex(r.data)}});
  }
  doc["offline_records"] = std::move(records);
  doc["firmware"] = Json{{"start", state.firmware.start},
                         {"first", state.firmware.first},
                         {"blocks", state.firmware.blocks},
                         {"complete", state.firmware.complete}};
  doc["led"] = ByteArrayOut(state.led);
  doc["buzzer"] = ByteArrayOut(state.buzzer);
  if (!doc.contains("faults")) doc["faults"] = Json::array();
  if (!doc.contains("link_ms_per_report")) doc["link_ms_per_report"] = state.linkMsPerReport;
  if (!doc.contains("log_limit")) doc["log_limit"] = state.logLimit;
  // The newest entries up to the limit.
  const auto& entries = state.log.get_ref<const Json::array_t&>();
  const std::size_t keep = std::min<std::uint64_t>(entries.size(), state.logLimit);
  doc["log"] = Json::array_t(entries.end() - static_cast<std::ptrdiff_t>(keep), entries.end());
  doc["log_dropped"] = state.logDropped + (entries.size() - keep);

  return doc.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

}  // namespace vantor::sim
