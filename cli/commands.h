// The subcommands of vantor; each returns the process exit code.
#pragma once

#include <string>

namespace vantor::cli {

enum ExitCode {
  kExitOk = 0,
  kExitFailed = 1,    // a reader step failed
  kExitUsage = 2,     // usage or file error
  kExitNoReader = 3,  // no reader found, or the one found is in use
  kExitDeclined = 4,  // firmware download not confirmed
};

// The reader every command opens: "" for the first one that opens, else
// the one at this path (--reader, VANTOR_READER).
void SelectReader(const std::string& path);
const std::string& SelectedReader();
// Opens the selected reader: a handle, VANTOR_ERR_NO_READER or
// VANTOR_ERR_BUSY.
int OpenSelectedReader();
// After openResult (from an open of the reader at path, "" for the first
// that opens) failed: one line on stderr naming the reader; kExitNoReader.
int ReportOpenFailure(int openResult, const std::string& path);

// After an open that found no reader: says whether another program holds
// one (naming it) or none was found, and returns kExitNoReader.
int ReportNoReader();

// After a command whose reader did not close cleanly: says so (the
// emulated reader has named its state file and why it was not written)
// and returns kExitFailed.
int ReportCloseFailure();

int List(bool json);
int Version();
int Apdu(const std::string& hex, int slot);
int Reset(int slot);
int Powerdown(int slot);
int Led(int value);
int Beep(int value);

int Check(const std::string& file);
int Download(const std::string& file, bool assumeYes);
int Info(bool json);
// Every attached reader at once (batch_commands.cpp).
int DownloadAll(const std::string& file, bool assumeYes, bool json);
int InfoAll(bool json);

}  // namespace vantor::cli
