// libFuzzer target: the emulated reader fed arbitrary output reports. The
// input is cut into reports as by ForEachReport, after three bytes that set
// up a fault, so fault handling is reached too.
// Every answer must be a response frame that fits its buffer.
#include <cstddef>
#include <cstdint>

#include "emulator/sim_reader.h"
#include "fuzz/reports.h"
#include "protocol/frame.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vantor::sim;
  if (size < 3) return 0;
  SimState state;
  state.apduResponses["00A4040000"] = {0x90, 0x00};
  Fault fault;
  fault.code = data[0];
  fault.nth = 1 + data[1] % 4;
  fault.action = static_cast<FaultAction>(data[2] % 5);
  fault.status = data[2];
  state.faults.push_back(fault);
  SimReader reader(state);

  ForEachReport(data + 3, size - 3, vantor::kOutputReportId,
                [&](const std::uint8_t* report, std::size_t delivered) {
                  const Reply reply = reader.FeedReport(report, delivered);
                  if (reply.kind == Reply::kAnswer &&
                      (reply.frame.size() < 6 || reply.frame.size() > 6 + 600)) {
                    __builtin_trap();
                  }
                  return reply.kind != Reply::kDisconnect;
                });
  return 0;
}
