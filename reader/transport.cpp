// Framed transport: one command frame out, one response frame in, each cut
// into 64-byte reports.
#include "transport.h"

#include <cstring>

#include "frame.h"
#include "handles.h"
#include "os.h"
#include "vantor/reader.h"

namespace vantor {
namespace {

// Each thread's own: another thread's transfer in between must not change
// what a failed call reports.
thread_local int t_lastTransportError = 0;

void SetLastTransportError(int code) { t_lastTransportError = code; }

// The io of an open handle; null with the "not open" error as the last
// transport error.
std::shared_ptr<ReaderIo> OpenIo(int handle) {
  auto io = FindReaderHandle(handle);
  if (!io) SetLastTransportError(os::NotOpenError());
  return io;
}

// Reads and drops the rest of a response whose length cannot be held.
void Drain(ReaderIo& io, std::size_t reports) {
  std::uint8_t report[kReportSize];
  std::size_t bytesRead = 0;
  int error = 0;
  for (std::size_t i = 0; i < reports; ++i) {
    if (!io.Read(report, &bytesRead, os::ReadTimeoutMs(), &error)) return;
  }
}

// The library's result code for a response the codec refused.
int ResponseError(const ResponseAssembler& response) {
  switch (response.failure()) {
    case ResponseAssembler::kDeviceStatus: return MapDeviceStatus(response.deviceStatus());
    case ResponseAssembler::kTooLong: return VANTOR_ERR_LENGTH;
    default: return VANTOR_ERR_CHECKSUM;
  }
}

}  // namespace

int MapDeviceStatus(std::uint8_t status) {
  switch (status) {
    case 0: return VANTOR_OK;
    case 1: return VANTOR_ERR_CHECKSUM;
    case 3: return VANTOR_ERR_STATUS_3;
    case 4: return VANTOR_ERR_STATUS_4;
    case 5:
    case 6: return VANTOR_ERR_STATUS_5_6;
    case 8: return VANTOR_ERR_STATUS_8;
    case 9: return VANTOR_ERR_STATUS_9;
    case 10: return VANTOR_ERR_STATUS_10;
    case 11: return VANTOR_ERR_STATUS_11;
    case 12: return VANTOR_ERR_STATUS_12;
    case 254: return VANTOR_ERR_STATUS_254;
    default: return VANTOR_ERR_STATUS;
  }
}

int LastTransportError() { return t_lastTransportError; }

int SendFrame(int handle, int slot, std::uint8_t command, const std::uint8_t* data, int length) {
  SetLastTransportError(0);
  if (length < 0 || static_cast<std::size_t>(length) > kMaxCommandData) {
    SetLastTransportError(VANTOR_ERR_LENGTH);
    return 0;
  }
  const auto io = OpenIo(handle);
  if (!io) return 0;
  std::uint8_t frame[kCommandFrameBuffer];
  const std::size_t frameLength = BuildCommandFrame(static_cast<std::uint8_t>(slot & 0xFF), command,
                                                    data, static_cast<std::size_t>(length), frame);
  std::uint8_t report[kReportSize];
  for (std::size_t i = 0, n = ReportCount(frameLength); i < n; ++i) {
    CutReport(frame, frameLength, i, kOutputReportId, report);
    int error = 0;
    if (!io->Write(report, &error)) {
      SetLastTransportError(error);
      return 0;
    }
  }
  return 1;
}

int ReceiveFrame(int handle, std::uint8_t* data, std::size_t capacity, int* length) {
  SetLastTransportError(0);
  const auto io = OpenIo(handle);
  if (!io) return 0;
  ResponseAssembler response;
  std::uint8_t report[kReportSize];
  for (;;) {
    std::memset(report, 0, sizeof report);
    report[0] = kInputReportId;
    std::size_t bytesRead = 0;
    int error = 0;
    if (!io->Read(report, &bytesRead, os::ReadTimeoutMs(), &error)) {
      SetLastTransportError(error);
      return 0;
    }
    const auto result = response.Feed(report, bytesRead);
    if (result == ResponseAssembler::kNeedMore) continue;
    if (result == ResponseAssembler::kFailed) {
      Drain(*io, response.reportsToDrain());
      SetLastTransportError(ResponseError(response));
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

VANTOR_API int SKSendData(int handle, int slot, unsigned char command, unsigned char* data,
                          int length) {
  return vantor::SendFrame(handle, slot, command, data, length);
}

VANTOR_API int SKRevData(int handle, int /*slot*/, unsigned char /*command*/, unsigned char* data,
                         int* length) {
  return vantor::ReceiveFrame(handle, data, VANTOR_MAX_RESPONSE_DATA, length);
}

}  // extern "C"
