#include "errors.h"

#include "os_error.h"
#include "vantor/reader.h"

namespace vantor {

std::string DescribeError(int code) {
  // The errno (Linux) or GetLastError (Windows) code of a failed transfer.
  if (code > 0) return text::OsErrorWithCode(code);
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
