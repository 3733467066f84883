// hid_exchange [N]: N one-report exchanges (an LED command and its answer)
// with the first attached reader, through this project's reader library and
// through hidapi (hid_write + hid_read_timeout), in alternating rounds.
// Run against a real node: a reader, or the gadget reader of
// scripts/kernel-bench.
#include <hidapi/hidapi.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "reader/frame.h"
#include "vantor/reader.h"

namespace {

using Clock = std::chrono::steady_clock;

double Micros(Clock::time_point start) {
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

// Our library: the exported function, as a caller would use it. Adds the
// time of n exchanges to *us; false when one failed. Each side opens the
// node only for its own round: every open descriptor of a hidraw node gets
// every input report.
bool Ours(int n, double* us) {
  const int handle = DllOpenReader();
  if (handle == VANTOR_ERR_NO_READER) return false;
  int failed = 0;
  const auto start = Clock::now();
  for (int i = 0; i < n; ++i) failed += DllLedControl(handle, 1) != 0;
  *us += Micros(start);
  DllCloseReader(handle);
  return failed == 0;
}

// hidapi: the same report bytes, and the answer's status checked.
bool Hidapi(int n, double* us) {
  hid_device* device = hid_open(VANTOR_VENDOR_ID, VANTOR_PRODUCT_ID, nullptr);
  if (!device) return false;
  const std::uint8_t value = 1;
  std::uint8_t frame[6], out[64], in[64];
  const std::size_t length = vantor::BuildCommandFrame(0, 0x78, &value, 1, frame);
  vantor::CutReport(frame, length, 0, vantor::kOutputReportId, out);
  int failed = 0;
  const auto start = Clock::now();
  for (int i = 0; i < n; ++i) {
    if (hid_write(device, out, sizeof out) != static_cast<int>(sizeof out)) ++failed;
    const int got = hid_read_timeout(device, in, sizeof in, 10000);
    if (got < 7 || in[0] != vantor::kInputReportId || in[3] != 0) ++failed;
  }
  *us += Micros(start);
  hid_close(device);
  return failed == 0;
}

}  // namespace

int main(int argc, char** argv) {
  const int n = argc > 1 ? std::atoi(argv[1]) : 1000;
  if (n <= 0) {
    std::fprintf(stderr, "usage: hid_exchange [N]\n");
    return 2;
  }
  // The exchanges alternate in rounds after a warm-up, so neither side
  // profits from caches (or an emulator's code translation) the other one
  // warmed.
  if (hid_init() != 0) return 1;
  constexpr int kRounds = 10;
  double ours = 0, hidapi = 0, warmUp = 0;
  bool oursOk = Ours(100, &warmUp), hidapiOk = Hidapi(100, &warmUp);
  for (int round = 0; round < kRounds; ++round) {
    const int part = n / kRounds + (round < n % kRounds ? 1 : 0);
    oursOk = Ours(part, &ours) && oursOk;
    hidapiOk = Hidapi(part, &hidapi) && hidapiOk;
  }
  ours /= n;
  hidapi /= n;
  hid_exit();
  std::printf("exchanges %d\n", n);
  std::printf("vantor library  %.1f us per exchange%s\n", ours, oursOk ? "" : "  (FAILED)");
  std::printf("hidapi          %.1f us per exchange%s\n", hidapi, hidapiOk ? "" : "  (FAILED)");
  return oursOk && hidapiOk ? 0 : 1;
}
