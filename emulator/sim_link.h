// Connects the reader link to the emulated reader through a real OS handle.
#pragma once

namespace vantor::sim {

// Starts an emulated reader whose state lives in the JSON file at
// statePath and returns the host's end of its link (a descriptor with one
// message per report), or -1 when the link cannot be made.
int OpenLink(const char* statePath);

// When handle is the host end of an emulated reader's link: closes it,
// waits until the emulator has written its state file, stores the close
// result (true on success) in *closed and returns true. Otherwise returns
// false and does nothing.
bool CloseLink(int handle, bool* closed);

}  // namespace vantor::sim
