// Cuts a fuzz input into reports as an OS might deliver them: the first
// byte of each chunk chooses how many bytes (1..64) were delivered, the
// next bytes fill the report after the given report ID is set. feed(report,
// delivered) returns false to stop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "protocol/codes.h"

template <class Feed>
void ForEachReport(const std::uint8_t* data, std::size_t size, std::uint8_t reportId, Feed feed) {
  std::uint8_t report[vantor::kReportSize];
  std::size_t at = 0;
  while (at < size) {
    const std::size_t delivered = 1 + data[at] % vantor::kReportSize;
    ++at;
    std::memset(report, 0, sizeof report);
    report[0] = reportId;
    const std::size_t take = size - at < delivered ? size - at : delivered;
    std::memcpy(report, data + at, take);
    at += take;
    if (!feed(report, delivered)) return;
  }
}
