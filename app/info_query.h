// "Get Device Info" as a query that knows no window: the reader's firmware
// version and the name of the script it holds, as the pane shows them.
#pragma once

#include <functional>
#include <string>

#include "outcome.h"

namespace vantor::app {

struct DeviceInfo {
  Outcome outcome = Outcome::kNone;  // kSuccess or kReaderStepFailed
  bool haveVersion = false;          // the version command answered
  std::wstring version;              // as the reader gave it (at most 128 bytes)
  std::wstring offlineName;          // "" when the reader holds none
};

// Asks the open reader both questions. statusText becomes what the pane
// shows; showPane is called with it after each question.
DeviceInfo QueryDeviceInfo(int readerHandle, std::wstring& statusText,
                           const std::function<void(const std::wstring&)>& showPane);

}  // namespace vantor::app
