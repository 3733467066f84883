// Several readers: the matching readers in search order, each named by a
// path, and opening one by its path. The emulated readers (one per state
// file VANTOR_READER_SIM names or holds in a folder it names) stand in for
// the attached ones.
#pragma once

#include <string>
#include <vector>

#include "os.h"

namespace vantor {

// The matching readers in search order. With probe, each is opened once to
// learn whether it opens (and closed again at once). An entry of
// VANTOR_READER_SIM that names the state file of an earlier one is listed
// with duplicateOf set and not probed: it is that reader, not another.
std::vector<os::ReaderDevice> ListReaders(bool probe);

// The reader at path as ListReaders(false) gives it (its serial number and
// USB port), from one listing; a reader with only its path when none is
// listed there (*listed, when given, tells which). A command that has the
// list at hand takes the entry from it instead.
os::ReaderDevice ListedReader(const std::string& path, bool* listed = nullptr);

// Opens the reader at path: a handle, VANTOR_ERR_NO_READER or
// VANTOR_ERR_BUSY.
int OpenReaderAt(const std::string& path);

// Opens the emulated reader whose state file is statePath, whether or not
// VANTOR_READER_SIM names it: a handle, or -1 with *inUse telling whether
// another link holds it (otherwise the failure is recorded for
// DllGetErrorText).
int OpenEmulatedReader(const std::string& statePath, bool* inUse = nullptr);

// Whether VANTOR_READER_SIM is set (not empty): then its entries, as
// written and in the order given (separated by ':' on Linux, ';' on
// Windows; empty entries name nothing), are the readers, and the attached
// ones are not looked at.
bool EmulatedEntries(std::vector<std::string>* entries);

// Whether an entry of VANTOR_READER_SIM names a folder of state files
// (rather than one state file, which need not exist yet).
bool IsReaderFolder(const std::string& entry);

// Whether a file of that name in a folder of state files is a reader: it
// ends in .json and is not hidden (so neither the emulator's temp files,
// NAME.json.tmpDIGITS, nor its lock files, NAME.json.lock, are).
bool IsStateFileName(const std::string& name);

// The path of the state file name in folder, as the readers are named.
std::string StateFileInFolder(const std::string& folder, const std::string& name);

// The readers a folder holds: each regular file (or link to one) with a
// state file's name, sorted by name; none when it cannot be read. Folders
// in it are not looked into.
std::vector<std::string> StateFilesIn(const std::string& folder);

// EmulatedEntries with each folder replaced by the state files it holds:
// the emulated readers' state files in search order.
bool EmulatedReaders(std::vector<std::string>* statePaths);

// After the last DllOpenReader of this process that found no free reader:
// the reader another program (or another open) holds, as a device path or
// the emulated reader's state file; empty when none was held.
std::string HeldReader();

// Hands each failure of the emulated readers (the texts DllGetErrorText
// gives) to report as well, on the thread where it is recorded; null for
// none. The library prints nothing itself: this is for a program that
// shows them on its own stderr.
void ReportReaderFailuresTo(void (*report)(const std::string& text));

}  // namespace vantor
