// Subcommands that run the main window's own logic with the console host.
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
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
    case download::kHeaderF: return "firmware image";
    case download::kHeaderE: return "nothing to send";
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

// A bad line for the terminal: at most about 80 characters, then "...";
// control characters, bytes above 0x7E and the backslash escaped, so the
// line can neither drive the terminal nor be cut short by a NUL.
std::string EchoLine(const std::wstring& text) {
  constexpr std::size_t kShown = 80;
  std::string out;
  for (wchar_t wc : text) {
    const auto c = static_cast<std::uint32_t>(wc);
    char piece[16];
    if (c == '\\') {
      std::snprintf(piece, sizeof piece, "\\\\");
    } else if (c >= 0x20 && c <= 0x7E) {
      piece[0] = static_cast<char>(c);
      piece[1] = '\0';
    } else if (c <= 0xFF) {
      std::snprintf(piece, sizeof piece, "\\x%02x", static_cast<unsigned>(c));
    } else {
      std::snprintf(piece, sizeof piece, "\\u%04x", static_cast<unsigned>(c & 0xFFFF));
    }
    if (out.size() + std::strlen(piece) > kShown) {
      out += "...";
      break;
    }
    out += piece;
  }
  return out;
}

// "vantor: <path>: <reason>" after "Open File Error!".
void PrintOpenError(const std::string& path, int error) {
  std::fprintf(stderr, "vantor: %s: %s\n", path.c_str(), std::strerror(error));
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

namespace {

// The exit code of a command that ran the window's logic on the reader at
// path ("" for the first one): a reader in use or not found named, a reader
// that did not close cleanly a failure.
int ExitCodeAfterClose(const CVantorToolDlg& dlg, Outcome outcome, const std::string& path) {
  if (outcome == Outcome::kNoReader) return ReportOpenFailure(dlg.LastOpenResult(), path);
  const int code = ExitCodeFor(outcome);
  if (code == kExitOk && dlg.CloseFailed()) return ReportCloseFailure();
  return code;
}

// Signals during a download: the first asks the worker to stop after the
// exchange in flight and is remembered for the exit code; a second one
// during the clean-up ends the process at once.
std::atomic<CVantorToolDlg*> g_stopTarget{nullptr};
volatile std::sig_atomic_t g_signal = 0;

#ifdef _WIN32
const int kStopSignals[] = {SIGINT, SIGTERM};
#else
const int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
#endif

extern "C" void OnStopSignal(int signal) {
  if (g_signal != 0) {
    std::signal(signal, SIG_DFL);
    std::raise(signal);
    return;
  }
  g_signal = signal;
  if (CVantorToolDlg* dlg = g_stopTarget.load()) dlg->RequestStop();
#ifdef _WIN32
  std::signal(signal, OnStopSignal);  // Windows resets the handler before the call
#endif
}

void CatchStopSignals(CVantorToolDlg* dlg) {
  g_stopTarget.store(dlg);
  for (const int signal : kStopSignals) std::signal(signal, OnStopSignal);
}

void RestoreSignals() {
  for (const int signal : kStopSignals) std::signal(signal, SIG_DFL);
  g_stopTarget.store(nullptr);
}

// The console host of a download: signals stop the download only while
// its worker runs, so the file check and the firmware question keep their
// usual meaning.
class DownloadHost : public ConsoleHost {
 public:
  DownloadHost(const Options& options, CVantorToolDlg** dlg) : ConsoleHost(options), dlg_(dlg) {}
  void StartWorker(std::function<void()> work) override {
    CatchStopSignals(*dlg_);
    ConsoleHost::StartWorker(std::move(work));
  }

 private:
  CVantorToolDlg** dlg_;
};

// What the reader holds after a download that a signal stopped.
void ReportInterrupted(const CVantorToolDlg& dlg) {
  const bool firmware = dlg.DownloadMode() == download::kHeaderF;
  switch (dlg.LastStopPoint()) {
    case StopPoint::kUnchanged:
      std::fprintf(stderr, "vantor: download interrupted before the reader was changed\n");
      break;
    case StopPoint::kIncomplete:
      std::fprintf(stderr, firmware
                               ? "vantor: download interrupted: the reader now holds an incomplete "
                                 "firmware image; download again before unplugging it\n"
                               : "vantor: download interrupted: the reader now holds an incomplete "
                                 "script; download it again\n");
      break;
    case StopPoint::kNone:
      std::fprintf(stderr, "vantor: interrupted after the download had ended\n");
      break;
  }
}

}  // namespace

void PrintLineError(const CVantorToolDlg& dlg) {
  if (dlg.LastOutcome() != Outcome::kLineError) return;
  const auto& error = dlg.LastLineError();
  std::fprintf(stderr, "line %u: %s\n", error.physicalLine, EchoLine(error.text).c_str());
}

int Check(const std::string& path) {
  download::TextFile file;
  if (!file.Open(path)) {
    std::fprintf(stderr, "VantorTool: Open File Error!\n");
    PrintOpenError(path, file.OpenError());
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
                mode == download::kHeaderF ? "" : " (sent only with a firmware image)");
    std::printf("lines: %zu\n", table.size());
    if (!ok) {
      std::printf("%s\n", ToTerminal(download::LineErrorMessage(error.number)).c_str());
      std::printf("line %u: %s\n", error.physicalLine, EchoLine(error.text).c_str());
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
  CVantorToolDlg* target = nullptr;
  DownloadHost host(TerminalOptions(assumeYes), &target);
  CVantorToolDlg dlg(host);
  target = &dlg;
  dlg.OnInitDialog();
  dlg.SetReaderPath(SelectedReader());
  host.SetPathFieldText(FromLocalPath(path));
  dlg.OnDownload();
  host.WaitForWorker();
  dlg.CloseReader();  // a command that ended early may have left it open
  RestoreSignals();
  if (const int signal = g_signal) {
    PrintPane(host.PaneText());
    ReportInterrupted(dlg);
    return 128 + signal;
  }
  const Outcome outcome = dlg.LastOutcome();
  PrintLineError(dlg);
  if (dlg.LastFileError() != 0) PrintOpenError(path, dlg.LastFileError());
  PrintPane(host.PaneText());
  return ExitCodeAfterClose(dlg, outcome, SelectedReader());
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
    out["outcome"] = outcome == Outcome::kSuccess              ? "success"
                     : dlg.LastOpenResult() == VANTOR_ERR_BUSY ? "in_use"
                     : outcome == Outcome::kNoReader           ? "no_reader"
                     : haveVersion                             ? "name_failed"
                                                               : "version_failed";
    out["firmware_version"] =
        haveVersion ? nlohmann::json(Utf8(dlg.LastVersion())) : nlohmann::json();
    out["offline_file"] = outcome == Outcome::kSuccess && !dlg.LastOfflineName().empty()
                              ? nlohmann::json(Utf8(dlg.LastOfflineName()))
                              : nlohmann::json();
    out["pane"] = Utf8(host.PaneText());
  } else {
    PrintPane(host.PaneText());
  }
  return ExitCodeAfterClose(dlg, outcome, path);
}

int Info(bool json) {
  nlohmann::json out;
  const int rc = InfoOf(SelectedReader(), json ? &out : nullptr);
  if (json) std::printf("%s\n", out.dump(2).c_str());
  return rc;
}

}  // namespace vantor::cli
