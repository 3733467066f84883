#include "frame.h"

#include <algorithm>
#include <cstring>

namespace vantor {

std::uint8_t XorChecksum(const std::uint8_t* p, std::size_t n) {
  std::uint8_t x = 0;
  for (std::size_t i = 0; i < n; ++i) x ^= p[i];
  return x;
}

std::size_t BuildCommandFrame(std::uint8_t slot, std::uint8_t code, const std::uint8_t* data,
                              std::size_t n, std::uint8_t* out) {
  out[0] = slot;
  out[1] = code;
  out[2] = static_cast<std::uint8_t>(n & 0xFF);
  out[3] = static_cast<std::uint8_t>((n >> 8) & 0xFF);
  if (n) std::memcpy(out + 4, data, n);
  out[4 + n] = XorChecksum(out + 1, n + 3);
  return n + 5;
}

std::size_t BuildResponseFrame(std::uint8_t b0, std::uint8_t b1, std::uint8_t status,
                               const std::uint8_t* data, std::size_t n, std::uint8_t* out) {
  out[0] = b0;
  out[1] = b1;
  out[2] = status;
  out[3] = static_cast<std::uint8_t>(n & 0xFF);
  out[4] = static_cast<std::uint8_t>((n >> 8) & 0xFF);
  if (n) std::memcpy(out + 5, data, n);
  out[5 + n] = XorChecksum(out + 1, n + 4);
  return n + 6;
}

std::size_t ReportCount(std::size_t frameLength) {
  return (frameLength + kReportPayload - 1) / kReportPayload;
}

void CutReport(const std::uint8_t* frame, std::size_t frameLength, std::size_t index,
               std::uint8_t reportId, std::uint8_t report[kReportSize]) {
  std::memset(report, 0, kReportSize);
  report[0] = reportId;
  const std::size_t at = index * kReportPayload;
  if (at < frameLength) {
    std::memcpy(report + 1, frame + at, std::min(kReportPayload, frameLength - at));
  }
}

ResponseAssembler::Result ResponseAssembler::Feed(const std::uint8_t* report,
                                                  std::size_t bytesRead) {
  const std::size_t payload = bytesRead > 0 ? bytesRead - 1 : 0;
  if (held_ == 0) {
    // First report: the status is tested before anything else.
    if (report[3] != 0) {
      failure_ = kDeviceStatus;
      deviceStatus_ = report[3];
      return kFailed;
    }
    frameLength_ = (static_cast<std::size_t>(report[5]) << 8 | report[4]) + 6;
    if (frameLength_ > kResponseFrameBuffer) {
      failure_ = kTooLong;
      const std::size_t missing = frameLength_ - std::min(payload, frameLength_);
      drain_ = (missing + kReportPayload - 1) / kReportPayload;
      return kFailed;
    }
  }
  const std::size_t take = std::min(payload, frameLength_ - held_);
  std::memcpy(frame_ + held_, report + 1, take);
  held_ += take;
  if (held_ < frameLength_) return kNeedMore;

  if (XorChecksum(frame_ + 1, frameLength_ - 2) != frame_[frameLength_ - 1]) {
    failure_ = kBadChecksum;
    return kFailed;
  }
  // The length the frame was gathered by. It equals frame bytes 3 and 4
  // whenever the first report carried them, as a 64-byte report always does.
  dataLength_ = frameLength_ - 6;
  return kDone;
}

CommandAssembler::Result CommandAssembler::Feed(const std::uint8_t* report, std::size_t bytesRead) {
  const std::size_t payload = bytesRead > 0 ? bytesRead - 1 : 0;
  if (held_ == 0) {
    if (payload < 4) return kFailed;
    frameLength_ = (static_cast<std::size_t>(report[4]) << 8 | report[3]) + 5;
    if (frameLength_ > kCommandFrameBuffer) return kFailed;
  }
  const std::size_t take = std::min(payload, frameLength_ - held_);
  std::memcpy(frame_ + held_, report + 1, take);
  held_ += take;
  if (held_ < frameLength_) return kNeedMore;
  dataLength_ = frameLength_ - 5;
  checksumOk_ = XorChecksum(frame_ + 1, frameLength_ - 2) == frame_[frameLength_ - 1];
  return kDone;
}

}  // namespace vantor
