// Framed transport: one command frame out, one response frame in, each cut
// into 64-byte reports; opening and closing the reader.
#include "transport.h"

#include <atomic>
#include <cstring>

#include "frame.h"
#include "os.h"
#include "vantor/reader.h"

namespace vantor {
namespace {

// One value for the whole process; meaningful to the thread that made the
// last transfer until the next transfer on any thread.
std::atomic<int> g_lastTransportError{0};

void SetLastTransportError(int code) {
  g_lastTransportError.store(code, std::memory_order_relaxed);
}

// Reads and drops the rest of a response whose length cannot be held.
void Drain(int handle, std::size_t reports) {
  std::uint8_t report[kReportSize];
  std::size_t bytesRead = 0;
  for (std::size_t i = 0; i < reports; ++i) {
    if (!os::ReadReport(handle, report, &bytesRead)) return;
  }
}

}  // namespace

int LastTransportError() {
  return g_lastTransportError.load(std::memory_order_relaxed);
}

int SendFrame(int handle, int slot, std::uint8_t command,
              const std::uint8_t* data, int length) {
  SetLastTransportError(0);
  if (length < 0 || static_cast<std::size_t>(length) > kMaxCommandData) {
    SetLastTransportError(VANTOR_ERR_LENGTH);
    return 0;
  }
  std::uint8_t frame[kCommandFrameBuffer];
  const std::size_t frameLength =
      BuildCommandFrame(static_cast<std::uint8_t>(slot & 0xFF), command, data,
                        static_cast<std::size_t>(length), frame);
  std::uint8_t report[kReportSize];
  for (std::size_t i = 0, n = ReportCount(frameLength); i < n; ++i) {
    CutReport(frame, frameLength, i, kOutputReportId, report);
    if (!os::WriteReport(handle, report)) {
      SetLastTransportError(os::LastError());
      return 0;
    }
  }
  return 1;
}

int ReceiveFrame(int handle, std::uint8_t* data, std::size_t capacity,
                 int* length) {
  SetLastTransportError(0);
  ResponseAssembler response;
  std::uint8_t report[kReportSize];
  for (;;) {
    std::memset(report, 0, sizeof report);
    report[0] = kInputReportId;
    std::size_t bytesRead = 0;
    if (!os::ReadReport(handle, report, &bytesRead)) {
      SetLastTransportError(os::LastError());
      return 0;
    }
    const auto result = response.Feed(report, bytesRead);
    if (result == ResponseAssembler::kNeedMore) continue;
    if (result == ResponseAssembler::kFailed) {
      Drain(handle, response.reportsToDrain());
      SetLastTransportError(response.error());
      return 0;
    }
    break;
  }
  if (response.dataLength() > capacity) {
    SetLastTransportError(VANTOR_ERR_LENGTH);
    return 0;
  }
  if (response.dataLength()) {
    std::memcpy(data, response.data(), response.dataLength());
  }
  *length = static_cast<int>(response.dataLength());
  return 1;
}

}  // namespace vantor

extern "C" {

VANTOR_API int DllOpenReader(void) {
  const int handle = vantor::os::FindReaderDevice();
  return handle == vantor::os::kInvalidHandle ? VANTOR_ERR_NO_READER : handle;
}

VANTOR_API int DllCloseReader(int handle) {
  return vantor::os::CloseHandle(handle) ? VANTOR_OK : VANTOR_ERR_CLOSE;
}

VANTOR_API int SKSendData(int handle, int slot, unsigned char command,
                          unsigned char* data, int length) {
  return vantor::SendFrame(handle, slot, command, data, length);
}

VANTOR_API int SKRevData(int handle, int /*slot*/, unsigned char /*command*/,
                         unsigned char* data, int* length) {
  return vantor::ReceiveFrame(handle, data, VANTOR_MAX_RESPONSE_DATA, length);
}

}  // extern "C"
