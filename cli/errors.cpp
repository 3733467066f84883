#include "errors.h"

#include <cstring>

#include "vantor/reader.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace vantor {

std::string DescribeError(int code) {
  if (code > 0) {
#ifdef _WIN32
    // Windows: the GetLastError code of the failed transfer.
    char text[256] = {};
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == '.')) --n;
    const std::string what = n > 0 ? std::string(text, n) : "system error";
    return what + " (error " + std::to_string(code) + ")";
#else
    return std::string(std::strerror(code)) + " (errno " + std::to_string(code) + ")";
#endif
  }
  const char* what = "unknown error";
  switch (code) {
    case VANTOR_OK: what = "success"; break;
    case VANTOR_ERR_NO_READER: what = "no reader found"; break;
    case VANTOR_ERR_CLOSE: what = "closing the reader failed"; break;
    case VANTOR_ERR_ATR: what = "answer to reset rejected"; break;
    case VANTOR_ERR_STATUS_5_6: what = "reader status 5 or 6"; break;
    case VANTOR_ERR_STATUS_3: what = "reader status 3"; break;
    case VANTOR_ERR_STATUS_254: what = "reader status 0xFE"; break;
    case VANTOR_ERR_STATUS_4: what = "reader status 4"; break;
    case VANTOR_ERR_CHECKSUM: what = "checksum error"; break;
    case VANTOR_ERR_STATUS_8: what = "reader status 8"; break;
    case VANTOR_ERR_STATUS_9: what = "reader status 9"; break;
    case VANTOR_ERR_STATUS_10: what = "reader status 10"; break;
    case VANTOR_ERR_STATUS_11: what = "reader status 11"; break;
    case VANTOR_ERR_STATUS_12: what = "reader status 12"; break;
    case VANTOR_ERR_STATUS: what = "reader error status"; break;
    case VANTOR_ERR_LENGTH: what = "data does not fit"; break;
    default: break;
  }
  return std::string(what) + " (" + std::to_string(code) + ")";
}

}  // namespace vantor
