#include "terminal.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "commands.h"
#include "local_path.h"
#include "record.h"

namespace vantor::cli {

void PutText(nlohmann::json& object, const std::string& key, const std::string& bytes) {
  history::SetString(object, key, bytes);
}

std::string Dump(const nlohmann::json& value) { return history::Dump(value, 2); }

void KeepRunningOnClosedPipe() {
#ifndef _WIN32
  std::signal(SIGPIPE, SIG_IGN);
#endif
}

int FinishOutput(int code) {
  errno = 0;
  const bool lost = std::fflush(stdout) != 0 || std::ferror(stdout) != 0;
  const int reason = errno != 0 ? errno : EIO;
  const bool closeFailed = std::fclose(stdout) != 0 && !lost;
  if (!lost && !closeFailed) return code;
  std::fprintf(stderr, "vantor: writing output failed: %s\n",
               std::strerror(closeFailed ? errno : reason));
  return code == kExitOk ? kExitFailed : code;
}

}  // namespace vantor::cli
