// Connects the reader link to the emulated reader through a real OS handle.
#pragma once

#include <memory>
#include <string>

namespace vantor::sim {

// The host's end of one emulated reader's link, the emulator serving the
// other end on a thread of its own. Destroying a link that was neither
// closed nor forgotten closes it.
class HostLink {
 public:
  virtual ~HostLink() = default;
  // The host's end: a descriptor (Windows: a HANDLE opened for overlapped
  // I/O, as an int) with one message per report.
  virtual int handle() const = 0;
  // Stops the link (a report still on its way is lost), closes the host's
  // end and waits until the emulator has written its state file, recording
  // its failure on this thread; true when both succeeded. Once.
  virtual bool Close() = 0;
  // For a host end that was closed elsewhere (its value may name another
  // handle by now): stops the emulator and waits for it, leaving the
  // handle alone.
  virtual void Forget() = 0;
};

// Starts an emulated reader whose state lives in the JSON file at
// statePath and returns its link, or null when the link cannot be made. A
// link holds its state file exclusively until it is closed: while another
// link (of this or another program) holds it, null with *inUse (when given)
// set.
std::unique_ptr<HostLink> OpenLink(const char* statePath, bool* inUse = nullptr);

// Whether a link of this or another program holds the state file now.
bool InUse(const char* statePath);

// The serial number string the state file gives its reader: "" when the
// file is missing, gives none, or cannot be read (only that field is
// kept). The file is opened as LoadState opens it: anything but a regular
// file (a FIFO would block) is not read.
std::string ReadSerial(const std::string& statePath);

// Why the emulated reader last failed on this thread, naming the state file
// ("state file PATH: REASON"): a file it cannot read or use, a lock it
// cannot take, a state it cannot write (recorded by the HostLink::Close that
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
