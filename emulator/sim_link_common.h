// What the emulated reader's links share on every OS: loading the state,
// serving the emulator's end of the link on a thread of its own, writing
// the state file when the link ends, the host's link object whose close
// waits for that write, and the texts of its failures.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "link_clock.h"
#include "sim_link.h"
#include "sim_state.h"
#include "frame.h"

namespace vantor::sim {

// The emulator's end of one link (a socket, a named pipe). Implementations
// close it on destruction when Close() has not run.
class ReaderEnd {
 public:
  virtual ~ReaderEnd() = default;
  // The next output report; false when the link has ended. *got may be 0
  // for an empty message.
  virtual bool Receive(std::uint8_t report[kReportSize], std::size_t* got) = 0;
  virtual bool Send(const std::uint8_t report[kReportSize]) = 0;
  // Ends the emulator's side, so the host sees the reader go.
  virtual void Close() = 0;
};

// Holds one state file for one link until destroyed: a lock file beside it
// (<state>.lock), removed again when released.
class StateLock {
 public:
  virtual ~StateLock() = default;
};

// Takes the lock of statePath (one implementation per OS; the caller has
// followed its symbolic links). Null when it cannot be had: *inUse tells
// whether another link holds it; otherwise a failure naming the file is
// recorded. A folder where no lock file can be made gets an empty lock:
// nothing can be written there, so a second link cannot spoil the state,
// and the save says so at close.
std::unique_ptr<StateLock> LockState(const std::string& statePath, bool* inUse);

// Records the failure "the lock of statePath could not be taken", and why.
void ReportLockFailure(const std::string& statePath, const std::string& reason);

// Records text as this thread's last failure (see LastFailure) and hands it
// to the report set with SetFailureReport.
void RecordFailure(const std::string& text);

// What a link owns: the lock taken before the state was read, and the state.
struct LinkState {
  std::unique_ptr<StateLock> lock;
  std::unique_ptr<SimState> state;
};

// Serves end until the link ends (the host goes, a send fails, a
// disconnect fault, stop), closes it and writes the state file; true when
// it was written. *failure gets what went wrong, naming the file ("" when
// nothing did).
bool ServeAndSave(ReaderEnd& end, const std::string& path, SimState& state, std::string* failure,
                  LinkStop* stop = nullptr);

// Writes the state file; false with *failure naming it and the reason.
bool Save(const std::string& path, const SimState& state, std::string* failure);

// The locked state for a new link; a null state when it cannot be used
// (a failure naming the file recorded) or, with *inUse (when given) set,
// when another link holds it.
LinkState LoadForLink(const char* statePath, bool* inUse);

// Starts serving end on a thread of its own: the link of host, the host's
// handle of the same link, which closeHost closes. The lock is released
// once the state is written. Null when the thread cannot be started (end is
// then closed; host stays the caller's to close).
std::unique_ptr<HostLink> StartLink(int host, bool (*closeHost)(int),
                                    std::unique_ptr<ReaderEnd> end, const char* statePath,
                                    LinkState link);

}  // namespace vantor::sim
