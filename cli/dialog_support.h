// What the subcommands that run the window's logic share
// (window_commands.cpp).
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "VantorToolDlg.h"
#include "console/ConsoleHost.h"

namespace vantor::cli {

std::string Utf8(const std::wstring& text);
// The console host's options for this process's terminal.
ConsoleHost::Options TerminalOptions(bool assumeYes);
int ExitCodeFor(Outcome outcome);
// The pane's final text on stdout, ending with one line break.
void PrintPane(const std::wstring& pane);
// "Get Device Info" on the reader at path ("" the first that opens): the
// pane on stdout, or with json the result into *json. The exit code.
int InfoOf(const std::string& path, nlohmann::json* json);
// After a Download command that ended with a line error: the line on stderr.
void PrintLineError(const CVantorToolDlg& dlg);

}  // namespace vantor::cli
