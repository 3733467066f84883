// The OS's text for an error code: an errno value on Linux, a
// GetLastError() value on Windows.
#pragma once

#include <string>

namespace vantor::text {

// Linux: strerror. Windows: FormatMessage as UTF-8 without its closing
// period and line break, "system error" when Windows has no text for it.
std::string OsErrorText(int code);
// The text with the code: "Connection timed out (errno 110)" on Linux,
// "Access is denied (error 5)" on Windows.
std::string OsErrorWithCode(int code);

}  // namespace vantor::text
