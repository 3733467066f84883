// vantor: the reader on the command line.
#include <CLI/CLI.hpp>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "codepage.h"
#include "commands.h"
#include "history_command.h"
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
                   ms);
      return false;
    }
  }
  if (!vantor::download::AnsiCharsetKnown()) {
    std::fprintf(stderr, "vantor: VANTOR_CODEPAGE=%s is not a code page this system knows\n",
                 vantor::download::AnsiCharset().c_str());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
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

  CLI::App app{
      "vantor - download scripts and firmware into the reader and query it.\n"
      "Set VANTOR_READER_SIM=<state.json> to use the emulated reader instead of\n"
      "hardware (several state files, separated by ':' (';' on Windows), are\n"
      "several readers); VANTOR_READ_TIMEOUT_MS bounds each wait for the reader\n"
      "(1 to 3600000 ms, default 10000); VANTOR_CODEPAGE names the code page for\n"
      "names.\n\n"
      "Exit codes: 0 ok, 1 a reader step failed, 2 usage or file error,\n"
      "3 no reader found or the reader is in use, 4 firmware download not confirmed."};
  app.require_subcommand(1);
  app.set_version_flag("--version,--tool-version", "vantor " VANTORTOOL_VERSION);

  int slot = 0;
  int value = 0;
  std::string hex;
  std::string file;
  bool yes = false;
  bool json = false;
  bool all = false;
  std::string reader;
  app.add_option("--reader", reader,
                 "Use the reader at this path (see 'vantor list'); default: the first that opens")
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
  auto* downloadAll =
      download->add_flag("--all", all, "Download into every attached reader at once");
  download->add_flag("--json", json, "Print the summary as JSON")->needs(downloadAll);
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
      std::fprintf(stderr, "vantor: unknown command '%s' (see vantor --help)\n", argv[1]);
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
  SelectReader(reader);
  if (*list) return List(json);
  if (*version) return Version();
  if (*apdu) return Apdu(hex, slot);
  if (*reset) return Reset(slot);
  if (*powerdown) return Powerdown(slot);
  if (*led) return Led(value);
  if (*beep) return Beep(value);
  if (*check) return Check(file);
  if (*download) return all ? DownloadAll(file, yes, json) : Download(file, yes);
  if (*info) return all ? InfoAll(json) : Info(json);
  if (*history) return RunHistory(historyQuery);
  return kExitUsage;
}
