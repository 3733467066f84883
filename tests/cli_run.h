// Running the vantor command line from a test, as a shell would.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "test_util.h"

namespace vantor::test {

struct CliRun {
  int exitCode = -1;
  std::string out, err;
};

// The shell runs command with stdin from /dev/null (unless the command
// feeds it) and stderr into errFile ("&1": into stdout).
inline CliRun RunShell(const std::string& command, const std::string& errFile) {
  CliRun run;
  std::FILE* pipe = ::popen(("exec </dev/null 2>" + errFile + "; " + command).c_str(), "r");
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
    run.out.append(buffer, n);
  }
  const int status = ::pclose(pipe);
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  if (errFile != "&1") run.err = ReadFile(errFile);
  return run;
}

}  // namespace vantor::test
