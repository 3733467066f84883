// The host's response reader over arbitrary report streams: the input is
// cut into 64-byte reports and fed until the assembler finishes. It must
// never write past its frame buffer, report more data than it holds, or
// ask to drain more than the length field can announce.
#include <cstddef>
#include <cstdint>

#include "fuzz/reports.h"
#include "protocol/frame.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using vantor::ResponseAssembler;
  ResponseAssembler response;
  ForEachReport(data, size, vantor::kInputReportId,
                [&](const std::uint8_t* report, std::size_t delivered) {
                  const auto result = response.Feed(report, delivered);
                  if (result == ResponseAssembler::kDone) {
                    if (response.dataLength() > vantor::kMaxResponseData) __builtin_trap();
                    volatile std::uint8_t sink = 0;
                    for (std::size_t i = 0; i < response.dataLength(); ++i)
                      sink ^= response.data()[i];
                    (void)sink;
                    return false;
                  }
                  if (result == ResponseAssembler::kFailed) {
                    if (response.reportsToDrain() > 65541 / 63 + 1) __builtin_trap();
                    return false;
                  }
                  return true;
                });
  return 0;
}
