// The bound on each wait for an answer report, the same on every OS.
#include <cstdlib>

#include "os.h"

namespace vantor::os {

int ReadTimeoutMs() {
  const char* value = std::getenv("VANTOR_READ_TIMEOUT_MS");
  if (value && *value) {
    char* end = nullptr;
    const long ms = std::strtol(value, &end, 10);
    if (*end == '\0' && ms > 0 && ms <= 3600000) return static_cast<int>(ms);
  }
  return 10000;  // long enough for the reader to erase its flash
}

}  // namespace vantor::os
