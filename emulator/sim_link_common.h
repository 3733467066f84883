// What the emulated reader's links share on every OS: loading the state,
// serving the emulator's end of the link on a thread of its own, writing
// the state file when the link ends, and the registry of open links that
// lets CloseLink wait for that write.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "emulator/sim_state.h"
#include "reader/frame.h"

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

// Serves end until the link ends (the host goes, a send fails, a
// disconnect fault), closes it and writes the state file; true when it was
// written.
bool ServeAndSave(ReaderEnd& end, const std::string& path, SimState& state);

// Writes the state file; false after one line on stderr naming it.
bool Save(const std::string& path, const SimState& state);

// The state for a new link, or null after one line on stderr naming the
// file when it cannot be used.
std::unique_ptr<SimState> LoadForLink(const char* statePath);

// Starts serving end on a thread of its own and registers host, the host's
// handle of the same link. false when the thread cannot be started (end is
// then closed; host stays the caller's to close).
bool StartLink(int host, std::unique_ptr<ReaderEnd> end, const char* statePath,
               std::unique_ptr<SimState> state);

// When handle is a registered host end: unregisters it, closes it with
// closeHost, waits until its emulator has written the state file, stores
// in *closed whether both succeeded and returns true. Otherwise false.
bool FinishLink(int handle, bool (*closeHost)(int), bool* closed);

}  // namespace vantor::sim
