// Frame codec of the reader protocol: command and response frames, their
// XOR checksum, cutting frames into 64-byte HID reports and gathering them
// back. Pure code without I/O, shared by the host transport and the
// emulator.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codes.h"

namespace vantor {

constexpr std::size_t kCommandFrameBuffer = 604;
constexpr std::size_t kMaxCommandData = kCommandFrameBuffer - 5;  // 599
constexpr std::size_t kResponseFrameBuffer = 600;
constexpr std::size_t kMaxResponseData = kResponseFrameBuffer - 6;  // 594

// XOR of n bytes.
std::uint8_t XorChecksum(const std::uint8_t* p, std::size_t n);

// Command frame: slot, code, n (LE16), data, checksum over code..data.
// out needs n + 5 bytes; returns the frame length.
std::size_t BuildCommandFrame(std::uint8_t slot, std::uint8_t code, const std::uint8_t* data,
                              std::size_t n, std::uint8_t* out);

// Response frame: b0, b1, status, n (LE16), data, checksum over b1..data.
// out needs n + 6 bytes; returns the frame length.
std::size_t BuildResponseFrame(std::uint8_t b0, std::uint8_t b1, std::uint8_t status,
                               const std::uint8_t* data, std::size_t n, std::uint8_t* out);

// Number of reports a frame of frameLength bytes takes.
std::size_t ReportCount(std::size_t frameLength);

// Report number index of a frame: report ID, then the next up to 63 frame
// bytes, zero-filled to 64 bytes.
void CutReport(const std::uint8_t* frame, std::size_t frameLength, std::size_t index,
               std::uint8_t reportId, std::uint8_t report[kReportSize]);

// Gathers one response frame from input reports as the host reads them.
// Feed each report (bytesRead as the OS delivered it, report ID included)
// until the result is not kNeedMore.
class ResponseAssembler {
 public:
  enum Result { kNeedMore, kDone, kFailed };
  // Why a response failed: the reader's status was not 0, the checksum did
  // not match, or the length field announces more than a frame may hold.
  enum Failure { kNoFailure, kDeviceStatus, kBadChecksum, kTooLong };

  Result Feed(const std::uint8_t* report, std::size_t bytesRead);

  // After kFailed: why, and for kDeviceStatus the reader's status byte.
  Failure failure() const { return failure_; }
  std::uint8_t deviceStatus() const { return deviceStatus_; }
  // After kFailed for an oversize length field: input reports of that
  // response still to be read and dropped so the next exchange starts clean.
  std::size_t reportsToDrain() const { return drain_; }
  // After kDone: the response data.
  const std::uint8_t* data() const { return frame_ + 5; }
  std::size_t dataLength() const { return dataLength_; }

 private:
  std::uint8_t frame_[kResponseFrameBuffer] = {};
  std::size_t held_ = 0;
  std::size_t frameLength_ = 0;
  std::size_t dataLength_ = 0;
  std::size_t drain_ = 0;
  Failure failure_ = kNoFailure;
  std::uint8_t deviceStatus_ = 0;
};

// Gathers one command frame from output reports (the reader's side).
class CommandAssembler {
 public:
  enum Result { kNeedMore, kDone, kFailed };

  Result Feed(const std::uint8_t* report, std::size_t bytesRead);

  std::uint8_t slot() const { return frame_[0]; }
  std::uint8_t code() const { return frame_[1]; }
  const std::uint8_t* data() const { return frame_ + 4; }
  std::size_t dataLength() const { return dataLength_; }
  // After kDone: whether the checksum byte matched.
  bool checksumOk() const { return checksumOk_; }

 private:
  std::uint8_t frame_[kCommandFrameBuffer] = {};
  std::size_t held_ = 0;
  std::size_t frameLength_ = 0;
  std::size_t dataLength_ = 0;
  bool checksumOk_ = false;
};

}  // namespace vantor
