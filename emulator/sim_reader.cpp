#include "sim_reader.h"

#include <algorithm>

namespace vantor::sim {

using text::ToHex;

namespace {

// Data length field of the oversize fault: one byte more than a response
// frame may hold.
constexpr std::size_t kOversizeData = 600;

Reply Answer(std::uint8_t slot, std::uint8_t code, std::uint8_t status, const Bytes& data = {}) {
  return {Reply::kAnswer, ResponseFrame(slot, code, status, data.data(), data.size())};
}

}  // namespace

Bytes ResponseFrame(std::uint8_t slot, std::uint8_t code, std::uint8_t status,
                    const std::uint8_t* data, std::size_t n) {
  Bytes frame(n + 6);
  BuildResponseFrame(slot, code, status, data, n, frame.data());
  return frame;
}

Reply SimReader::FeedReport(const std::uint8_t* report, std::size_t bytes) {
  // Echo what is known of the frame the report belongs to.
  const std::uint8_t slot = midFrame_ ? assembler_.slot() : bytes > 1 ? report[1] : 0;
  const std::uint8_t code = midFrame_ ? assembler_.code() : bytes > 2 ? report[2] : 0;
  const auto result = bytes < 5 ? CommandAssembler::kFailed : assembler_.Feed(report, bytes);
  if (result == CommandAssembler::kNeedMore) {
    midFrame_ = true;
    return {};
  }
  Reply reply = result == CommandAssembler::kDone
                    ? HandleFrame(assembler_.slot(), assembler_.code(), assembler_.data(),
                                  assembler_.dataLength(), assembler_.checksumOk())
                    : Answer(slot, code, status::kBadFrame);
  assembler_ = CommandAssembler{};
  midFrame_ = false;
  return reply;
}

const Fault* SimReader::DueFault(std::uint8_t code) {
  const std::uint64_t count = ++framesPerCode_[code];
  for (const auto& fault : state_.faults) {
    if (fault.code == code && fault.nth == count) return &fault;
  }
  return nullptr;
}

Reply SimReader::HandleFrame(std::uint8_t slot, std::uint8_t code, const std::uint8_t* data,
                             std::size_t n, bool checksumOk) {
  AppendLog(state_, Json{{"code", code}, {"slot", slot}, {"data", ToHex(data, n)}});
  // A frame that arrived damaged is neither carried out nor counted: its
  // code byte cannot be trusted.
  if (!checksumOk) return Answer(slot, code, status::kBadFrame);

  const Fault* fault = DueFault(code);
  if (!fault) return Execute(slot, code, data, n);
  switch (fault->action) {
    case FaultAction::kStatus: return Answer(slot, code, fault->status);
    case FaultAction::kBadChecksum: {
      Reply reply = Execute(slot, code, data, n);
      reply.frame.back() ^= 0xFF;
      return reply;
    }
    case FaultAction::kNoAnswer: return {};
    case FaultAction::kDisconnect: return {Reply::kDisconnect, {}};
    case FaultAction::kOversize: return Answer(slot, code, status::kOk, Bytes(kOversizeData, 0));
  }
  return {};
}

Reply SimReader::Execute(std::uint8_t slot, std::uint8_t code, const std::uint8_t* data,
                         std::size_t n) {
  switch (code) {
    case cmd::kResetCard:
      if (state_.atr.empty()) return Answer(slot, code, status::kNoCard);
      return Answer(slot, code, status::kOk, state_.atr);
    case cmd::kPowerDown: return Answer(slot, code, status::kOk);
    case cmd::kApdu: {
      const auto it = state_.apduResponses.find(ToHex(data, n));
      return Answer(slot, code, status::kOk,
                    it != state_.apduResponses.end() ? it->second : Bytes{0x90, 0x00});
    }
    case cmd::kLed:
    case cmd::kBuzzer:
      // The value byte is required; an empty request is malformed.
      if (n < 1) return Answer(slot, code, status::kBadFrame);
      (code == cmd::kLed ? state_.led : state_.buzzer).push_back(data[0]);
      return Answer(slot, code, status::kOk);
    case cmd::kGetOfflineFileName: return Answer(slot, code, status::kOk, state_.offlineFileName);
    case cmd::kSetOfflineFileName:
      state_.offlineFileName.assign(data, data + n);
      return Answer(slot, code, status::kOk);
    case cmd::kEraseOfflineData:
      state_.offlineRecords.clear();
      return Answer(slot, code, status::kOk);
    case cmd::kWriteOfflineRecord: {
      // type, length, then up to length bytes of record data.
      if (n < 2) return Answer(slot, code, status::kBadFrame);
      const std::size_t take = std::min<std::size_t>(data[1], n - 2);
      state_.offlineRecords.push_back({data[0], Bytes(data + 2, data + 2 + take)});
      return Answer(slot, code, status::kOk);
    }
    case cmd::kFirmwareVersion: {
      const std::string& text = state_.firmwareVersion;
      const std::size_t length = text.size() + 4;
      Bytes answer;
      answer.reserve(length);
      answer.push_back(static_cast<std::uint8_t>(length & 0xFF));
      answer.push_back(static_cast<std::uint8_t>(length >> 8 & 0xFF));
      answer.insert(answer.end(), text.begin(), text.end());
      answer.push_back(static_cast<std::uint8_t>(state_.versionTrailer & 0xFF));
      answer.push_back(static_cast<std::uint8_t>(state_.versionTrailer >> 8 & 0xFF));
      return Answer(slot, code, status::kOk, answer);
    }
    case cmd::kFirmwareStart:
      state_.firmware = FirmwareImage{ToHex(data, n), "", {}, ""};
      return Answer(slot, code, status::kOk);
    case cmd::kFirmwareFirst:
      state_.firmware.first = ToHex(data, n);
      return Answer(slot, code, status::kOk);
    case cmd::kFirmwareBlock:
      state_.firmware.blocks.push_back(ToHex(data, n));
      return Answer(slot, code, status::kOk);
    case cmd::kFirmwareComplete:
      state_.firmware.complete = ToHex(data, n);
      return Answer(slot, code, status::kOk);
    default: return Answer(slot, code, status::kUnknownCommand);
  }
}

}  // namespace vantor::sim
