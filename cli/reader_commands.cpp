// Choosing and opening the reader, the list, and the reader-level
// subcommands: straight calls of the exported functions.
#include <cstdio>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "commands.h"
#include "errors.h"
#include "hex.h"
#include "reader_slot.h"
#include "readers.h"
#include "terminal.h"
#include "vantor/reader.h"

namespace vantor::cli {
namespace {

using text::FromHex;
using text::HexDigit;
using text::ToHex;

// Opens the reader, runs one command, closes it, and reports failures. The
// command's output is printed only when the reader also closed cleanly (the
// emulated reader writes its state then).
int WithReader(const Selection& reader, const char* what,
               const std::function<int(int, std::string*)>& command) {
  std::string path = reader.path;
  const int handle = OpenReader(&path);
  if (handle == VANTOR_ERR_NO_READER || handle == VANTOR_ERR_BUSY) {
    return ReportOpenFailure(handle, path);
  }
  std::string out;
  const int result = command(handle, &out);
  const int closed = DllCloseReader(handle);
  if (result != 0) {
    std::fprintf(stderr, "vantor: %s failed: %s\n", what, DescribeError(result).c_str());
    return kExitFailed;
  }
  if (closed != 0) return ReportCloseFailure();
  std::fputs(out.c_str(), stdout);
  return kExitOk;
}

}  // namespace

bool ResolveReader(const std::string& value, const char* source, std::string* path, int* code) {
  static const std::string kSerial = "serial:";
  if (value.compare(0, kSerial.size(), kSerial) != 0) {
    *path = value;
    return true;
  }
  const std::string serial = value.substr(kSerial.size());
  if (serial.empty()) {
    std::fprintf(stderr, "vantor: no serial number given (%s=serial:)\n", source);
    *code = kExitUsage;
    return false;
  }
  std::vector<std::string> matches;
  for (const auto& reader : ListReaders(false)) {
    // Another name of a listed reader's state file is that reader again.
    if (reader.duplicateOf.empty() && reader.serial == serial) matches.push_back(reader.path);
  }
  if (matches.size() == 1) {
    *path = matches[0];
    return true;
  }
  if (matches.empty()) {
    std::fprintf(stderr,
                 "vantor: no attached reader has the serial number %s (see 'vantor list')\n",
                 Shown(serial).c_str());
  } else {
    std::string paths;
    for (const auto& match : matches) paths += (paths.empty() ? "" : " and ") + Shown(match);
    std::fprintf(stderr,
                 "vantor: readers %s have the same serial number %s; choose one by its path\n",
                 paths.c_str(), Shown(serial).c_str());
  }
  *code = kExitNoReader;
  return false;
}

int OpenReader(std::string* path) {
  app::ReaderSlot reader(*path);
  const bool opened = reader.OpenIfNeeded();
  *path = reader.OpenedPath();
  return opened ? reader.Handle() : reader.LastOpenResult();
}

int ReportOpenFailure(int openResult, const std::string& path) {
  const std::string shown = Shown(path);
  if (openResult == VANTOR_ERR_BUSY) {
    std::fprintf(stderr, "vantor: reader %s is in use by another program\n", shown.c_str());
  } else if (path.empty()) {
    std::fprintf(stderr, "vantor: no reader found (see 'vantor list')\n");
  } else {
    std::fprintf(stderr, "vantor: reader %s is not attached or does not open (see 'vantor list')\n",
                 shown.c_str());
  }
  return kExitNoReader;
}

int ReportCloseFailure() {
  std::fprintf(stderr, "vantor: %s; what the reader was told may not be kept\n",
               DescribeError(VANTOR_ERR_CLOSE).c_str());
  return kExitFailed;
}

int List(bool json) {
  const auto readers = ListReaders(true);
  bool denied = false;
  nlohmann::json out = nlohmann::json::array();
  for (const auto& reader : readers) {
    std::string status = reader.inUse ? "in use" : "ok";
    if (!reader.duplicateOf.empty()) {
      status = "the same reader as " + Shown(reader.duplicateOf);
    } else if (!reader.problem.empty()) {
      status = "cannot be used: " + Shown(reader.problem);
    } else if (reader.openError != 0) {
      status = "cannot open: " + DescribeError(reader.openError);
      denied = true;
    }
    if (json) {
      nlohmann::json entry = {{"vendor", reader.vendor},
                              {"product", reader.product},
                              {"version", reader.version},
                              {"status", status}};
      PutText(entry, "path", reader.path);
      PutText(entry, "serial", reader.serial);
      PutText(entry, "usb_path", reader.usbPath);
      out.push_back(entry);
    } else {
      std::printf("%s  %04X:%04X v%04X  %s%s%s\n", Shown(reader.path).c_str(), reader.vendor,
                  reader.product, reader.version, status.c_str(),
                  reader.serial.empty() ? "" : "  serial ", Shown(reader.serial).c_str());
    }
  }
  if (json) std::printf("%s\n", Dump(out).c_str());
  if (readers.empty()) {
    std::fprintf(stderr, "vantor: no reader attached (looking for %04X:%04X v%04X)\n",
                 VANTOR_VENDOR_ID, VANTOR_PRODUCT_ID, VANTOR_VERSION);
    return kExitNoReader;
  }
#ifndef _WIN32
  if (denied) {
    std::fprintf(stderr,
                 "vantor: install the udev rule 70-vantor-reader.rules (cmake --install, "
                 "or copy res/70-vantor-reader.rules to /etc/udev/rules.d/), then replug "
                 "the reader\n");
  }
#else
  (void)denied;  // Windows has no rule to name
#endif
  return kExitOk;
}

int Version(const Selection& reader) {
  return WithReader(reader, "version", [](int handle, std::string* out) {
    char version[VANTOR_ROOM_VERSION];
    unsigned length = 0, trailer = 0;
    const int result = DllGetFirmwareVersion(handle, version, &length, &trailer);
    if (result == 0) {
      char line[32];
      std::snprintf(line, sizeof line, "trailer: %04X\n", trailer);
      *out = Shown(std::string(version, length)) + "\n" + line;
    }
    return result;
  });
}

int Apdu(const Selection& reader, const std::string& text, int slot) {
  std::string digits;
  for (char c : text) {
    if (c == ' ' || c == ':') continue;
    if (HexDigit(c) < 0) {
      std::fprintf(stderr, "vantor: APDU must be hex digits, got '%s'\n",
                   Shown(std::string(1, c)).c_str());
      return kExitUsage;
    }
    digits += c;
  }
  std::vector<std::uint8_t> apdu;
  if (digits.empty() || !FromHex(digits, &apdu) || apdu.size() > VANTOR_MAX_COMMAND_DATA) {
    std::fprintf(stderr, "vantor: APDU must be 1 to %d whole bytes of hex\n",
                 VANTOR_MAX_COMMAND_DATA);
    return kExitUsage;
  }
  return WithReader(reader, "apdu", [&](int handle, std::string* out) {
    unsigned char response[VANTOR_MAX_RESPONSE_DATA];
    int length = 0;
    const int result = Dll7816CardAPDU(handle, slot, apdu.data(), static_cast<int>(apdu.size()),
                                       response, &length);
    if (result == 0) *out = ToHex(response, static_cast<std::size_t>(length)) + "\n";
    return result;
  });
}

int Reset(const Selection& reader, int slot) {
  return WithReader(reader, "reset", [slot](int handle, std::string* out) {
    unsigned char atr[VANTOR_ROOM_ATR];
    int length = 0;
    const int result = DllReset7816Card(handle, slot, atr, &length);
    if (result == 0) *out = ToHex(atr, static_cast<std::size_t>(length)) + "\n";
    return result;
  });
}

// A command whose only answer is whether it worked.
int Simple(const Selection& reader, const char* what, const std::function<int(int)>& command) {
  return WithReader(reader, what, [&](int handle, std::string* out) {
    const int result = command(handle);
    if (result == 0) *out = "ok\n";
    return result;
  });
}

int Powerdown(const Selection& reader, int slot) {
  return Simple(reader, "powerdown", [slot](int h) { return Dll7816CardPowerdown(h, slot); });
}

int Led(const Selection& reader, int value) {
  return Simple(reader, "led",
                [value](int h) { return DllLedControl(h, static_cast<unsigned char>(value)); });
}

int Beep(const Selection& reader, int value) {
  return Simple(reader, "beep",
                [value](int h) { return DllSpeakerControl(h, static_cast<unsigned char>(value)); });
}

}  // namespace vantor::cli
