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

// Which reader a command uses: the path (--reader, VANTOR_READER, or the
// one a serial number names), "" for the first one that opens.
struct Selection {
  std::string path;
  bool all = false;  // --all: every attached reader
};

// --reader's value to a reader path: "serial:TEXT" names the reader with
// that USB serial number. false with a message and *code when it names
// none or more than one, or gives no serial number (a usage error);
// source ("--reader", "VANTOR_READER") is where the value came from.
bool ResolveReader(const std::string& value, const char* source, std::string* path, int* code);

// Opens the reader: a handle, VANTOR_ERR_NO_READER or VANTOR_ERR_BUSY;
// *path gets the path of the one opened when none was named.
int OpenReader(std::string* path);
// After an open of the reader at path ("" for the first that opens) that
// returned openResult: one line on stderr naming the reader and why;
// kExitNoReader.
int ReportOpenFailure(int openResult, const std::string& path);
// After a command whose reader did not close cleanly: says so, with the
// library's reason, and returns kExitFailed.
int ReportCloseFailure();

int List(bool json);
int Version(const Selection& reader);
int Apdu(const Selection& reader, const std::string& hex, int slot);
int Reset(const Selection& reader, int slot);
int Powerdown(const Selection& reader, int slot);
int Led(const Selection& reader, int value);
int Beep(const Selection& reader, int value);

int Check(const std::string& file);
struct DownloadOptions {
  bool assumeYes = false;
  bool json = false;
  bool noHistory = false;
};
int Download(const Selection& readers, const std::string& file, const DownloadOptions& options);
int Info(const Selection& readers, bool json);
struct StationOptions {
  bool assumeYes = false;
  bool json = false;
  bool noHistory = false;
  bool skipDone = false;
  long count = 0;  // end after this many successful downloads; 0: never
};
int Station(const std::string& file, const StationOptions& options);

}  // namespace vantor::cli
