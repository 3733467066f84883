// What both ends of the wire agree on besides the frame layout: the report
// shape, the command codes and the reader's status bytes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vantor {

constexpr std::size_t kReportSize = 64;
constexpr std::size_t kReportPayload = 63;   // bytes 1..63 of a report
constexpr std::uint8_t kOutputReportId = 3;  // host to reader
constexpr std::uint8_t kInputReportId = 4;   // reader to host

// Command codes.
namespace cmd {
constexpr std::uint8_t kResetCard = 0x62;
constexpr std::uint8_t kPowerDown = 0x63;
constexpr std::uint8_t kApdu = 0x6F;
constexpr std::uint8_t kLed = 0x78;
constexpr std::uint8_t kBuzzer = 0x79;
constexpr std::uint8_t kGetOfflineFileName = 0x7A;
constexpr std::uint8_t kSetOfflineFileName = 0x7B;
constexpr std::uint8_t kEraseOfflineData = 0x7C;
constexpr std::uint8_t kWriteOfflineRecord = 0x7D;
constexpr std::uint8_t kFirmwareVersion = 0x89;
constexpr std::uint8_t kFirmwareStart = 0x8A;
constexpr std::uint8_t kFirmwareFirst = 0x8B;
constexpr std::uint8_t kFirmwareBlock = 0x8C;
constexpr std::uint8_t kFirmwareComplete = 0x8D;
}  // namespace cmd

// Reader status bytes (byte 2 of a response frame).
namespace status {
constexpr std::uint8_t kOk = 0;
constexpr std::uint8_t kBadFrame = 1;  // checksum error, malformed frame
constexpr std::uint8_t kUnknownCommand = 2;
constexpr std::uint8_t kNoCard = 0xFE;
}  // namespace status

// First byte of an answer to reset: direct or inverse convention.
constexpr std::uint8_t kAtrDirect = 0x3B;
constexpr std::uint8_t kAtrInverse = 0x3F;

}  // namespace vantor
