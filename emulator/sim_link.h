// Connects the reader link to the emulated reader through a real OS handle.
#pragma once

#include <string>

namespace vantor::sim {

// Starts an emulated reader whose state lives in the JSON file at
// statePath and returns the host's end of its link (a descriptor with one
// message per report), or -1 when the link cannot be made. A link holds its
// state file exclusively until it is closed: while another link (of this
// or another program) holds it, -1 with *inUse (when given) set.
int OpenLink(const char* statePath, bool* inUse = nullptr);

// Whether a link of this or another program holds the state file now.
bool InUse(const char* statePath);

// The serial number string the state file gives its reader: "" when the
// file is missing, gives none, or cannot be read (only that field is
// kept). The file is opened as LoadState opens it: anything but a regular
// file (a FIFO would block) is not read.
std::string ReadSerial(const std::string& statePath);

// When handle is the host end of an emulated reader's link: closes it,
// waits until the emulator has written its state file, stores the close
// result (true on success) in *closed and returns true. Otherwise returns
// false and does nothing.
bool CloseLink(int handle, bool* closed);

// Why the emulated reader last failed on this thread, naming the state file
// ("state file PATH: REASON"): a file it cannot read or use, a lock it
// cannot take, a state it cannot write (recorded by the CloseLink that
// waited for the write). "" when none since ClearFailure. Nothing is ever
// printed.
std::string LastFailure();
void ClearFailure();

// Hands every failure, as it is recorded, also to report (on the thread
// that records it); null for none. For a program that prints them itself.
void SetFailureReport(void (*report)(const std::string& text));

// Two paths name the same state file when their keys are equal: a symbolic
// link and its target, a relative and an absolute path, the same path
// twice. The file need not exist.
std::string StateFileKey(const std::string& path);

}  // namespace vantor::sim
