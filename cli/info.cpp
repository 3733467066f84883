// info: "Get Device Info" on one reader, or on every attached reader.
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

#include "commands.h"
#include "info_query.h"
#include "readers.h"
#include "terminal.h"
#include "vantor/reader.h"

namespace vantor::cli {
namespace {

using app::Outcome;

// The query on an open reader, closed afterwards; the pane's text on
// stdout or the result into *json. The exit code.
int Ask(int handle, nlohmann::json* json) {
  std::wstring status;
  const app::DeviceInfo info = app::QueryDeviceInfo(handle, status, [](const std::wstring&) {});
  const bool closeFailed = DllCloseReader(handle) != VANTOR_OK;
  const bool ok = info.outcome == Outcome::kSuccess;
  if (json) {
    nlohmann::json& out = *json;
    out["outcome"] = ok && closeFailed  ? "close_failed"
                     : ok               ? "success"
                     : info.haveVersion ? "name_failed"
                                        : "version_failed";
    out["firmware_version"] = nullptr;
    if (info.haveVersion) PutText(out, "firmware_version", Utf8(info.version));
    out["offline_file"] = nullptr;
    if (ok && !info.offlineName.empty()) PutText(out, "offline_file", Utf8(info.offlineName));
    PutText(out, "pane", Utf8(status));
  } else {
    std::string text = ShownPane(status);
    if (!text.empty() && text.back() != '\n') text += '\n';
    std::fputs(text.c_str(), stdout);
  }
  if (!ok) return kExitFailed;
  return closeFailed ? ReportCloseFailure() : kExitOk;
}

// The reader's identity in an entry of info --json: its path, and for a
// listed reader its serial number and USB port.
void PutIdentity(nlohmann::json& entry, const os::ReaderDevice& reader, bool listed) {
  PutText(entry, "path", reader.path);
  if (!listed) return;
  PutText(entry, "serial", reader.serial);
  PutText(entry, "usb_path", reader.usbPath);
}

}  // namespace

int Info(const Selection& selection, bool json) {
  if (!selection.all) {
    std::string path = selection.path;
    const int handle = OpenReader(&path);
    nlohmann::json out;
    int code;
    if (handle == VANTOR_ERR_NO_READER || handle == VANTOR_ERR_BUSY) {
      std::fprintf(stderr, "Info: Open Device Error!\n");
      out = {{"outcome", handle == VANTOR_ERR_BUSY ? "in_use" : "no_reader"},
             {"firmware_version", nullptr},
             {"offline_file", nullptr},
             {"pane", "Open Device Error!"}};
      if (!json) std::printf("Open Device Error!\n");
      code = ReportOpenFailure(handle, path);
    } else {
      bool listed = false;
      const os::ReaderDevice reader = ListedReader(path, &listed);
      PutIdentity(out, reader, listed);
      code = Ask(handle, json ? &out : nullptr);
    }
    if (json) std::printf("%s\n", Dump(out).c_str());
    return code;
  }

  nlohmann::json out = nlohmann::json::array();
  int asked = 0;
  int code = kExitOk;
  for (const auto& reader : ListReaders(false)) {
    if (!reader.duplicateOf.empty()) continue;  // the same reader as an earlier entry
    nlohmann::json entry;
    PutIdentity(entry, reader, true);
    const int handle = OpenReaderAt(reader.path);
    if (handle == VANTOR_ERR_BUSY || handle == VANTOR_ERR_NO_READER) {
      std::fprintf(stderr, "vantor: reader %s %s, left out\n", Shown(reader.path).c_str(),
                   handle == VANTOR_ERR_BUSY ? "is in use by another program" : "does not open");
      entry["outcome"] = handle == VANTOR_ERR_BUSY ? "in_use" : "no_reader";
      if (handle == VANTOR_ERR_NO_READER) code = kExitFailed;
    } else {
      ++asked;
      if (!json) std::printf("== %s\n", Shown(reader.path).c_str());
      if (Ask(handle, json ? &entry : nullptr) != kExitOk) code = kExitFailed;
    }
    out.push_back(entry);
  }
  if (json) std::printf("%s\n", Dump(out).c_str());
  if (asked == 0) {
    if (out.empty()) std::fprintf(stderr, "vantor: no reader found (see 'vantor list')\n");
    return kExitNoReader;
  }
  return code;
}

}  // namespace vantor::cli
