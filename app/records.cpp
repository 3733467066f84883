#include "records.h"

#include <algorithm>
#include <filesystem>

#include "format.h"
#include "local_path.h"
#include "readers.h"

namespace vantor::app {

history::Facts AttemptFacts(const DownloadFile& file, const std::string& localPath,
                            const os::ReaderDevice& reader) {
  history::Facts facts;
  facts.attempt = history::NewId();
  facts.readerPath = reader.path;
  facts.serial = reader.serial;
  facts.usbPath = reader.usbPath;
  facts.fileName = ToTerminal(file.Name());
  std::error_code ec;
  facts.filePath = std::filesystem::absolute(localPath, ec).string();
  facts.kind = file.mode == download::kHeaderF   ? history::Kind::kFirmware
               : file.mode == download::kHeaderE ? history::Kind::kNothing
                                                 : history::Kind::kScript;
  std::copy(file.header, file.header + 3, facts.header);
  facts.lines = static_cast<long>(file.lines.size());
  facts.sha256 = file.sha256;
  facts.fileSize = file.size;
  return facts;
}

history::End AttemptEnd(const DownloadEnd& end, long long durationMs, bool ok,
                        const std::string& failedStep, int exitCode) {
  history::End out;
  out.durationMs = durationMs;
  out.recordsSent = static_cast<long>(end.recordsSent);
  const bool stopped = end.stopPoint != StopPoint::kNone;
  out.result = stopped                                ? history::Result::kInterrupted
               : !ok                                  ? history::Result::kFailed
               : end.outcome == Outcome::kNothingSent ? history::Result::kNothingSent
                                                      : history::Result::kSuccess;
  if (!ok && !stopped) out.failedStep = failedStep;
  out.exitCode = exitCode;
  return out;
}

}  // namespace vantor::app
