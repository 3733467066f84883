// What the download history records of an attempt, from the job's file,
// reader and end.
#pragma once

#include <string>

#include "download_job.h"
#include "readers.h"
#include "record.h"

namespace vantor::app {

// The attempt's facts, but its ids: the file as loaded (path as the OS
// takes it; its hash and size those of the bytes loaded) and the reader as
// listed.
history::Facts AttemptFacts(const DownloadFile& file, const std::string& localPath,
                            const os::ReaderDevice& reader);
// How the attempt ended; failedStep is the summary's word on a failure,
// exitCode the attempt's exit code.
history::End AttemptEnd(const DownloadEnd& end, long long durationMs, bool ok,
                        const std::string& failedStep, int exitCode);

}  // namespace vantor::app
