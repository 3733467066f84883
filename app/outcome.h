// How a job ended, for the hosts that report it (the window keeps it, the
// command line turns it into its exit code and summary).
#pragma once

namespace vantor::app {

enum class Outcome {
  kNone,
  kRunning,           // a download was started and has not ended
  kSuccess,           // "Download SUCCESS!" or the device information shown
  kNothingSent,       // download mode 2: the run ended without sending
  kReaderStepFailed,  // a reader command failed (or a stop was asked for)
  kNoReader,          // "Open Device Error!"
  kNoFile,            // "Please Open File !"
  kFileError,         // the file could not be opened or read, or its name is too long
  kLineError,         // "File %d Line Error,Please Check!"
  kDeclined,          // firmware download not confirmed
};

// Where a download that was asked to stop ended.
enum class StopPoint {
  kNone,        // it was not stopped
  kUnchanged,   // before the reader's erase: the reader holds what it held
  kIncomplete,  // after it: the reader holds part of the file
};

}  // namespace vantor::app
