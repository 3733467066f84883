// Where the download history is kept.
#pragma once

#include <string>

namespace vantor::history {

struct Place {
  std::string file;  // the history file; "" when the history is off
  // The default place: missing folders are made for the user alone (0700).
  bool privateFolders = false;
  // Set when the history is on but has no place (Linux: no home folder;
  // Windows: no local application data folder); a download must not start.
  std::string error;
  bool on() const { return !file.empty(); }
};

// VANTOR_HISTORY=FILE moves the history to FILE, VANTOR_HISTORY=off (or
// noHistory, from --no-history) turns it off. Otherwise (unset or empty):
// Linux: $XDG_STATE_HOME/vantortool/history.jsonl, or
// $HOME/.local/state/vantortool/history.jsonl when XDG_STATE_HOME is unset,
// empty or not an absolute path; Windows: %LOCALAPPDATA%\VantorTool\history.jsonl.
// The window (window = true) records only when VANTOR_HISTORY names a file.
// Paths are UTF-8 on Windows, the bytes the OS gives on Linux.
Place Locate(bool noHistory, bool window);

}  // namespace vantor::history
