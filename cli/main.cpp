// vantor: the reader on the command line.
#include <CLI/CLI.hpp>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "codepage.h"
#include "commands.h"
#include "history_command.h"
#include "readers.h"
#include "reference.h"
#include "terminal.h"
#include "vantor_version.h"

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>

#include <vector>

#include "local_path.h"
#endif

namespace {

// The environment the tool takes, checked before any command runs: a value
// the library would silently replace by its default is a usage error here.
bool EnvironmentIsValid() {
  if (const char* ms = std::getenv("VANTOR_READ_TIMEOUT_MS"); ms != nullptr && *ms != '\0') {
    const std::size_t digits = std::strspn(ms, "0123456789");
    const bool whole = ms[digits] == '\0' && digits <= 7;
    const long value = whole ? std::strtol(ms, nullptr, 10) : 0;
    if (value < 1 || value > 3600000) {
      std::fprintf(stderr,
                   "vantor: VANTOR_READ_TIMEOUT_MS=%s is not a whole number of milliseconds "
                   "from 1 to 3600000\n",
                   vantor::cli::Shown(std::string(ms)).c_str());
      return false;
    }
  }
  if (!vantor::download::AnsiCharsetKnown()) {
    std::fprintf(stderr, "vantor: VANTOR_CODEPAGE=%s is not a code page this system knows\n",
                 vantor::cli::Shown(vantor::download::AnsiCharset()).c_str());
    return false;
  }
  return true;
}

// A standard stream that was closed when vantor started is opened on
// /dev/null for reading, so that no file opened later takes its number
// and a write to it still fails.
void GuardClosedStreams() {
#ifndef _WIN32
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      const int opened = ::open("/dev/null", O_RDONLY);
      if (opened != fd && opened >= 0) ::close(opened);
    }
  }
#endif
}

int Run(int argc, char** argv);

}  // namespace

int main(int argc, char** argv) {
  GuardClosedStreams();
  return vantor::cli::FinishOutput(Run(argc, argv));
}

namespace {

int Run(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  // The emulated reader's failures, as the library records them.
  vantor::ReportReaderFailuresTo([](const std::string& text) {
    std::fprintf(stderr, "vantor emulator: %s\n", vantor::cli::Shown(text).c_str());
  });
#ifdef _WIN32
  // The arguments as UTF-8 from the wide command line, so that any file
  // name survives (the narrow argv has only the ANSI code page).
  std::vector<std::string> utf8;
  std::vector<char*> utf8Argv;
  int wideCount = 0;
  if (wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &wideCount)) {
    for (int i = 0; i < wideCount; ++i) utf8.push_back(vantor::ToLocalPath(wide[i]));
    LocalFree(wide);
    for (auto& arg : utf8) utf8Argv.push_back(&arg[0]);
    utf8Argv.push_back(nullptr);
    argc = wideCount;
    argv = utf8Argv.data();
  }
#endif
  using namespace vantor::cli;

  std::string exitCodes = "Exit codes:";
  for (const auto& status : kExitStatuses) {
    exitCodes +=
        (status.code == 0 ? " " : ", ") + std::to_string(status.code) + " " + status.meaning;
  }
  std::string environment = "Environment:\n";
  for (const auto& variable : kEnvironment) {
    environment += "  " + std::string(variable.name) + "\n      " + variable.meaning + "\n";
  }
  CLI::App app{"vantor - download scripts and firmware into the reader and query it.\n\n" +
               exitCodes + "."};
  app.footer(environment);
  app.require_subcommand(1);
  // A usage error echoes what was typed: shown by the terminal rule.
  app.failure_message([](const CLI::App*, const CLI::Error& e) {
    return Shown(std::string(e.what())) + "\nRun with --help for more information.\n";
  });
  app.set_version_flag("--version,--tool-version", "vantor " VANTORTOOL_VERSION);

  int slot = 0;
  int value = 0;
  std::string hex;
  std::string file;
  bool yes = false;
  bool json = false;
  bool all = false;
  bool noHistory = false;
  std::string reader;
  app.add_option("--reader", reader,
                 "Use the reader at this path (see 'vantor list'), or serial:TEXT the one "
                 "with that USB serial number; default: the first that opens")
      ->envname("VANTOR_READER");
  app.fallthrough();  // --reader also after the command

  auto* list = app.add_subcommand("list", "List attached readers and whether you may open them");
  list->add_flag("--json", json, "Print the list as JSON");
  auto* version = app.add_subcommand("version", "Print the reader's firmware version");
  auto* apdu = app.add_subcommand("apdu", "Send a command APDU to the card and print the response");
  apdu->add_option("hex", hex, "The APDU in hex, e.g. 00A4040000")->required();
  apdu->add_option("--slot", slot, "Card slot")->capture_default_str()->check(CLI::Range(0, 255));
  auto* reset = app.add_subcommand("reset", "Reset the card and print its answer to reset");
  reset->add_option("--slot", slot, "Card slot")->capture_default_str()->check(CLI::Range(0, 255));
  auto* powerdown = app.add_subcommand("powerdown", "Power the card down");
  powerdown->add_option("--slot", slot, "Card slot")
      ->capture_default_str()
      ->check(CLI::Range(0, 255));
  auto* led = app.add_subcommand("led", "Send a value to the reader's LED");
  led->add_option("value", value, "0-255")->required()->check(CLI::Range(0, 255));
  auto* beep =
      app.add_subcommand("beep", "Sound the buzzer (0 = success signal, 1 = failure signal)");
  beep->add_option("value", value, "0-255")->required()->check(CLI::Range(0, 255));

  auto* check = app.add_subcommand(
      "check", "Load and check a download file without a reader (exit 0 if it would download)");
  check->add_option("file", file, "The download file")->required();
  auto* download = app.add_subcommand(
      "download", "Download a file into the reader, as the window's \"Download To  Device\"");
  download->add_option("file", file, "The download file")->required();
  download->add_flag("-y,--yes", yes, "Confirm a firmware download without asking");
  download->add_flag("--all", all, "Download into every attached reader at once");
  download->add_flag("--json", json, "Print the summary as JSON");
  download->add_flag("--no-history", noHistory, "Do not record this download in the history");
  bool skipDone = false;
  long count = 0;
  auto* station = app.add_subcommand(
      "station", "Download a file into every reader as it is plugged in, until stopped");
  station->add_option("file", file, "The download file")->required();
  station->add_flag("-y,--yes", yes, "Confirm a firmware download without asking");
  station->add_flag("--json", json, "Print JSON Lines, one object per event");
  station->add_option("--count", count, "End after N successful downloads")
      ->check(CLI::Range(1L, 1000000000L));
  station->add_flag("--skip-done", skipDone,
                    "Skip a reader whose serial number has this file already (by the history)");
  station->add_flag("--no-history", noHistory, "Do not record the downloads in the history");
  auto* info = app.add_subcommand(
      "info", "Show the firmware version and the stored offline file, as \"Get Device Info\"");
  info->add_flag("--json", json, "Print the result as JSON");
  info->add_flag("--all", all, "Every attached reader");
  HistoryQuery historyQuery;
  auto* history = AddHistoryCommand(app, historyQuery);

  // A first word that is no option and no command is named as such (CLI11
  // would only say that a command is required).
  if (argc > 1 && argv[1][0] != '-') {
    bool known = false;
    for (const CLI::App* sub : app.get_subcommands([](CLI::App*) { return true; })) {
      known = known || sub->check_name(argv[1]);
    }
    if (!known) {
      std::fprintf(stderr, "vantor: unknown command '%s' (see vantor --help)\n",
                   Shown(std::string(argv[1])).c_str());
      return kExitUsage;
    }
  }

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int rc = app.exit(e);
    return rc == 0 ? kExitOk : kExitUsage;
  }

  if (!EnvironmentIsValid()) return kExitUsage;
  Selection selection;
  selection.all = all;
  // Where the reader's choice came from: the command line, else the
  // environment (where an empty value counts as given too).
  bool onCommandLine = false;
  for (int i = 1; i < argc; ++i) onCommandLine |= std::strncmp(argv[i], "--reader", 8) == 0;
  const char* const source = onCommandLine                             ? "--reader"
                             : std::getenv("VANTOR_READER") != nullptr ? "VANTOR_READER"
                                                                       : nullptr;
  if (source != nullptr && reader.empty()) {
    std::fprintf(stderr, "vantor: no reader path given (%s is empty)\n", source);
    return kExitUsage;
  }
  if (*station && !reader.empty()) {
    std::fprintf(stderr, "vantor: station programs every reader; %s=%s names one\n", source,
                 Shown(reader).c_str());
    return kExitUsage;
  }
  if (all && !reader.empty()) {
    std::fprintf(stderr, "vantor: --all and %s=%s name different readers; use one of them\n",
                 source, Shown(reader).c_str());
    return kExitUsage;
  }
  if (int code = kExitOk; !ResolveReader(reader, source, &selection.path, &code)) return code;
  if (*list) return List(json);
  if (*version) return Version(selection);
  if (*apdu) return Apdu(selection, hex, slot);
  if (*reset) return Reset(selection, slot);
  if (*powerdown) return Powerdown(selection, slot);
  if (*led) return Led(selection, value);
  if (*beep) return Beep(selection, value);
  if (*check) return Check(file);
  if (*download) return Download(selection, file, {yes, json, noHistory});
  if (*info) return Info(selection, json);
  if (*station) return Station(file, {yes, json, noHistory, skipDone, count});
  if (*history) return RunHistory(historyQuery);
  return kExitUsage;
}

}  // namespace
