// Subcommands that run the main window's own logic with the console host.
#include <unistd.h>

#include <cstdio>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>

#include "commands.h"
#include "dialog_support.h"
#include "format.h"
#include "loader.h"
#include "text_file.h"
#include "VantorToolDlg.h"
#include "console/ConsoleHost.h"
#include "local_path.h"
#include "vantor/reader.h"

namespace vantor::cli {
namespace {

const char* ModeName(std::uint8_t mode) {
  switch (mode) {
    case 1: return "firmware image";
    case 2: return "nothing to send";
    default: return "offline-data script";
  }
}

}  // namespace

// The pane's final text on stdout, ending with one line break.
void PrintPane(const std::wstring& pane) {
  if (pane.empty()) return;
  std::string text = PaneForTerminal(pane);
  if (text.back() != '\n') text += '\n';
  std::fputs(text.c_str(), stdout);
}

std::string Utf8(const std::wstring& text) {
  std::string out;
  for (wchar_t wc : text) {
    auto c = static_cast<std::uint32_t>(wc);
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

ConsoleHost::Options TerminalOptions(bool assumeYes) {
  ConsoleHost::Options options;
  options.assumeYes = assumeYes;
  options.interactive = ::isatty(STDIN_FILENO) && ::isatty(STDERR_FILENO);
  options.progressBar = ::isatty(STDERR_FILENO);
  return options;
}

int ExitCodeFor(Outcome outcome) {
  switch (outcome) {
    case Outcome::kSuccess:
    case Outcome::kNothingSent: return kExitOk;
    case Outcome::kNoReader: return kExitNoReader;
    case Outcome::kDeclined: return kExitDeclined;
    case Outcome::kNoFile:
    case Outcome::kFileError:
    case Outcome::kLineError: return kExitUsage;
    default: return kExitFailed;
  }
}

void PrintLineError(const CVantorToolDlg& dlg) {
  if (dlg.LastOutcome() != Outcome::kLineError) return;
  const auto& error = dlg.LastLineError();
  std::fprintf(stderr, "line %u: %s\n", error.physicalLine, ToTerminal(error.text).c_str());
}


int Check(const std::string& path) {
  download::TextFile file;
  if (!file.Open(path)) {
    std::fprintf(stderr, "VantorTool: Open File Error! (%s)\n", path.c_str());
    return kExitUsage;
  }
  try {
    std::wstring first;
    file.ReadString(first);
    std::uint8_t header[3];
    const std::uint8_t mode = download::ParseHeaderLine(first, header);
    file.SeekToBegin();
    download::LineTable table;
    download::LineError error;
    const bool ok = download::LoadLines(file, mode, table, &error);
    std::printf("mode: %u (%s)\n", mode, ModeName(mode));
    std::printf("header: %02X %02X %02X%s\n", header[0], header[1], header[2],
                mode == 1 ? "" : " (sent only with a firmware image)");
    std::printf("lines: %zu\n", table.size());
    if (!ok) {
      std::printf("%s\n", ToTerminal(download::LineErrorMessage(error.number)).c_str());
      std::printf("line %u: %s\n", error.physicalLine, ToTerminal(error.text).c_str());
      return kExitUsage;
    }
    std::printf("ok\n");
    return kExitOk;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vantor: reading %s failed: %s\n", path.c_str(), e.what());
    return kExitUsage;
  }
}

int Download(const std::string& path, bool assumeYes) {
  ConsoleHost host(TerminalOptions(assumeYes));
  CVantorToolDlg dlg(host);
  dlg.OnInitDialog();
  dlg.SetReaderPath(SelectedReader());
  host.SetPathFieldText(FromLocalPath(path));
  dlg.OnDownload();
  host.WaitForWorker();
  dlg.CloseReader();  // a command that ended early may have left it open
  const Outcome outcome = dlg.LastOutcome();
  PrintLineError(dlg);
  PrintPane(host.PaneText());
  if (outcome == Outcome::kNoReader) return ReportOpenFailure(dlg.LastOpenResult(), SelectedReader());
  return ExitCodeFor(outcome);
}

// One "Get Device Info" on the selected reader (or the one at path):
// the pane on stdout, or the result as JSON into *json.
int InfoOf(const std::string& path, nlohmann::json* json) {
  ConsoleHost host(TerminalOptions(false));
  CVantorToolDlg dlg(host);
  dlg.OnInitDialog();
  dlg.SetReaderPath(path);
  dlg.OnGetDeviceInfo();
  const Outcome outcome = dlg.LastOutcome();
  if (json) {
    const bool haveVersion = dlg.HaveVersion();
    nlohmann::json& out = *json;
    out["outcome"] = outcome == Outcome::kSuccess                    ? "success"
                     : dlg.LastOpenResult() == VANTOR_ERR_BUSY       ? "in_use"
                     : outcome == Outcome::kNoReader                 ? "no_reader"
                     : haveVersion                                   ? "name_failed"
                                                                     : "version_failed";
    out["firmware_version"] = haveVersion ? nlohmann::json(Utf8(dlg.LastVersion())) : nlohmann::json();
    out["offline_file"] = outcome == Outcome::kSuccess && !dlg.LastOfflineName().empty()
                              ? nlohmann::json(Utf8(dlg.LastOfflineName()))
                              : nlohmann::json();
    out["pane"] = Utf8(host.PaneText());
  } else {
    PrintPane(host.PaneText());
  }
  if (outcome == Outcome::kNoReader) return ReportOpenFailure(dlg.LastOpenResult(), path);
  return ExitCodeFor(outcome);
}

int Info(bool json) {
  nlohmann::json out;
  const int rc = InfoOf(SelectedReader(), json ? &out : nullptr);
  if (json) std::printf("%s\n", out.dump(2).c_str());
  return rc;
}

}  // namespace vantor::cli
