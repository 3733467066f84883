#include "info_query.h"

#include <algorithm>

#include "codepage.h"
#include "vantor/reader.h"

namespace vantor::app {
namespace {

// Of the version and the file name, at most this many bytes are shown.
constexpr std::size_t kShownTextBytes = 128;

// Every occurrence of word, left to right without overlap, becomes with.
void ReplaceAll(std::wstring& text, const std::wstring& word, const std::wstring& with) {
  std::wstring out;
  std::size_t from = 0;
  for (std::size_t at; (at = text.find(word, from)) != std::wstring::npos;
       from = at + word.size()) {
    out.append(text, from, at - from);
    out += with;
  }
  out.append(text, from, std::wstring::npos);
  text.swap(out);
}

}  // namespace

DeviceInfo QueryDeviceInfo(int readerHandle, std::wstring& statusText,
                           const std::function<void(const std::wstring&)>& showPane) {
  DeviceInfo info;
  info.outcome = Outcome::kReaderStepFailed;
  // The functions may answer up to their full room; the query keeps at
  // most 128 bytes of either text.
  char buffer[std::max(VANTOR_ROOM_VERSION, VANTOR_ROOM_NAME)] = {};
  unsigned int length = 0;
  unsigned int trailer = 0;

  if (DllGetFirmwareVersion(readerHandle, buffer, &length, &trailer) != 0) {
    statusText = L"Get Device Firmware Version Error!";
    showPane(statusText);
    return info;
  }
  info.version = download::FromAnsi(buffer, std::min<std::size_t>(length, kShownTextBytes));
  info.haveVersion = true;
  statusText = L"Firmware Version: " + info.version + L"\r\n\r\n";
  ReplaceAll(statusText, L"Double", L"X");
  ReplaceAll(statusText, L"double", L"X");
  showPane(statusText);

  if (DllGetOfflineFileName(readerHandle, buffer, &length) != 0) {
    statusText += L"Get Offline File Error!\r\n";
    showPane(statusText);
    return info;
  }
  if (length != 0) {
    info.offlineName = download::FromAnsi(buffer, std::min<std::size_t>(length, kShownTextBytes));
    statusText += L"Offline File: ";
    statusText += info.offlineName + L"\r\n";
  } else {
    statusText += L"No Offline File!\r\n";
  }
  showPane(statusText);
  info.outcome = Outcome::kSuccess;
  return info;
}

}  // namespace vantor::app
