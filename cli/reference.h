// The environment variables and exit codes of vantor, in one place: its
// --help is made from these tables, its manual page from its --help, and
// a test holds the documentation's tables against them.
#pragma once

namespace vantor::cli {

struct Variable {
  const char* name;
  const char* meaning;
};

inline constexpr Variable kEnvironment[] = {
    {"VANTOR_READER_SIM",
     "use the emulated reader kept in this state file (JSON) instead of hardware; several "
     "files, separated by ':' (';' on Windows), are several readers; a folder holds one reader "
     "per *.json file in it"},
    {"VANTOR_READER", "the reader every command uses, as --reader (the option wins)"},
    {"VANTOR_READ_TIMEOUT_MS",
     "the longest wait for one answer report: 1 to 3600000 milliseconds (default 10000)"},
    {"VANTOR_CODEPAGE",
     "the code page for file names and texts sent to the reader: a charset name iconv knows "
     "(default: the locale's charset)"},
    {"VANTOR_HISTORY",
     "the download history file, or 'off' (default: $XDG_STATE_HOME/vantortool/history.jsonl)"},
};

struct ExitStatus {
  int code;
  const char* meaning;
};

inline constexpr ExitStatus kExitStatuses[] = {
    {0, "ok"},
    {1, "a reader step failed"},
    {2, "usage or file error"},
    {3, "no reader found or the reader is in use; station: the readers can no longer be watched"},
    {4, "firmware download not confirmed"},
};

}  // namespace vantor::cli
