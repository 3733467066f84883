// Several readers: the matching readers in search order, each named by a
// path, and opening one by its path. The emulated readers (one per state
// file in VANTOR_READER_SIM) stand in for the attached ones.
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

// Whether VANTOR_READER_SIM is set (not empty): then its state files, in
// the order given (separated by ':' on Linux, ';' on Windows; empty entries
// name nothing), are the readers, and the attached ones are not looked at.
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
