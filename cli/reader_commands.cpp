// Reader-level subcommands: straight calls of the exported functions.
#include <cctype>
#include <cstdio>
#include <functional>
#include <string>
#include <nlohmann/json.hpp>
#include <vector>

#include "commands.h"
#include "errors.h"
#include "readers.h"
#include "vantor/reader.h"

namespace vantor::cli {
namespace {

std::string Hex(const unsigned char* p, std::size_t n) {
  std::string out;
  char pair[3];
  for (std::size_t i = 0; i < n; ++i) {
    std::snprintf(pair, sizeof pair, "%02X", p[i]);
    out += pair;
  }
  return out;
}

std::string g_selectedReader;

// Opens the reader, runs one command, closes it, and reports failures. The
// command's output is printed only when the reader also closed cleanly (the
// emulated reader writes its state then).
int WithReader(const char* what, const std::function<int(int, std::string*)>& command) {
  const int handle = OpenSelectedReader();
  if (handle == VANTOR_ERR_NO_READER || handle == VANTOR_ERR_BUSY) {
    return ReportOpenFailure(handle, g_selectedReader);
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

void SelectReader(const std::string& path) { g_selectedReader = path; }

const std::string& SelectedReader() { return g_selectedReader; }

int OpenSelectedReader() {
  return g_selectedReader.empty() ? DllOpenReader() : DllOpenReaderPath(g_selectedReader.c_str());
}

int ReportNoReader() {
  const std::string held = HeldReader();
  if (!held.empty()) {
    std::fprintf(stderr, "vantor: reader %s is in use by another program\n", held.c_str());
  } else {
    std::fprintf(stderr, "vantor: no reader found (see 'vantor list')\n");
  }
  return kExitNoReader;
}

int ReportCloseFailure() {
  std::fprintf(stderr, "vantor: %s; what the reader was told may not be kept\n",
               DescribeError(VANTOR_ERR_CLOSE).c_str());
  return kExitFailed;
}

int ReportOpenFailure(int openResult, const std::string& reader) {
  const char* path = reader.c_str();
  if (reader.empty()) {
    return ReportNoReader();
  } else if (openResult == VANTOR_ERR_BUSY) {
    std::fprintf(stderr, "vantor: reader %s is in use by another program\n", path);
  } else {
    std::fprintf(stderr, "vantor: reader %s is not attached or does not open (see 'vantor list')\n",
                 path);
  }
  return kExitNoReader;
}

int List(bool json) {
  const auto readers = ListReaders(true);
  bool denied = false;
  nlohmann::json out = nlohmann::json::array();
  for (const auto& reader : readers) {
    std::string status = reader.inUse ? "in use" : "ok";
    if (reader.openError != 0) {
      status = "cannot open: " + DescribeError(reader.openError);
      denied = true;
    }
    if (json) {
      out.push_back({{"path", reader.path},
                     {"vendor", reader.vendor},
                     {"product", reader.product},
                     {"version", reader.version},
                     {"serial", reader.serial},
                     {"usb_path", reader.usbPath},
                     {"status", status}});
    } else {
      std::printf("%s  %04X:%04X v%04X  %s\n", reader.path.c_str(), reader.vendor, reader.product,
                  reader.version, status.c_str());
    }
  }
  if (json) std::printf("%s\n", out.dump(2).c_str());
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

int Version() {
  return WithReader("version", [](int handle, std::string* out) {
    char version[VANTOR_ROOM_VERSION];
    unsigned length = 0, trailer = 0;
    const int result = DllGetFirmwareVersion(handle, version, &length, &trailer);
    if (result == 0) {
      char line[32];
      std::snprintf(line, sizeof line, "trailer: %04X\n", trailer);
      *out = std::string(version, length) + "\n" + line;
    }
    return result;
  });
}

int Apdu(const std::string& text, int slot) {
  std::string digits;
  for (char c : text) {
    if (c == ' ' || c == ':') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) {
      std::fprintf(stderr, "vantor: APDU must be hex digits, got '%c'\n", c);
      return kExitUsage;
    }
    digits += c;
  }
  if (digits.empty() || digits.size() % 2 != 0 || digits.size() / 2 > VANTOR_MAX_COMMAND_DATA) {
    std::fprintf(stderr, "vantor: APDU must be 1 to %d whole bytes of hex\n",
                 VANTOR_MAX_COMMAND_DATA);
    return kExitUsage;
  }
  std::vector<unsigned char> apdu;
  for (std::size_t i = 0; i < digits.size(); i += 2) {
    apdu.push_back(static_cast<unsigned char>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  }
  return WithReader("apdu", [&](int handle, std::string* out) {
    unsigned char response[VANTOR_MAX_RESPONSE_DATA];
    int length = 0;
    const int result = Dll7816CardAPDU(handle, slot, apdu.data(), static_cast<int>(apdu.size()),
                                       response, &length);
    if (result == 0) *out = Hex(response, static_cast<std::size_t>(length)) + "\n";
    return result;
  });
}

int Reset(int slot) {
  return WithReader("reset", [slot](int handle, std::string* out) {
    unsigned char atr[VANTOR_ROOM_ATR];
    int length = 0;
    const int result = DllReset7816Card(handle, slot, atr, &length);
    if (result == 0) *out = Hex(atr, static_cast<std::size_t>(length)) + "\n";
    return result;
  });
}

int Powerdown(int slot) {
  return WithReader("powerdown", [slot](int handle, std::string* out) {
    const int result = Dll7816CardPowerdown(handle, slot);
    if (result == 0) *out = "ok\n";
    return result;
  });
}

int Led(int value) {
  return WithReader("led", [value](int handle, std::string* out) {
    const int result = DllLedControl(handle, static_cast<unsigned char>(value));
    if (result == 0) *out = "ok\n";
    return result;
  });
}

int Beep(int value) {
  return WithReader("beep", [value](int handle, std::string* out) {
    const int result = DllSpeakerControl(handle, static_cast<unsigned char>(value));
    if (result == 0) *out = "ok\n";
    return result;
  });
}

}  // namespace vantor::cli
