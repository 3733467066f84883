// hid_exchange [N]: N one-report exchanges (an LED command and its answer)
// with the first attached reader, through this project's reader library and
// through hidapi (hid_write + hid_read_timeout), in alternating rounds.
// Run against a real node: a reader, or the gadget reader of
// scripts/kernel-bench.
#include <hidapi/hidapi.h>

#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "protocol/frame.h"
#include "vantor/reader.h"

namespace {

using Clock = std::chrono::steady_clock;

// Wall and CPU time of one side, summed over its rounds.
struct Spent {
  double wall = 0;
  double cpu = 0;
};

double CpuMicros() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return t.tv_sec * 1e6 + t.tv_nsec / 1e3;
}

class Timer {
 public:
  explicit Timer(Spent* spent) : spent_(spent), wall_(Clock::now()), cpu_(CpuMicros()) {}
  ~Timer() {
    spent_->wall += std::chrono::duration<double, std::micro>(Clock::now() - wall_).count();
    spent_->cpu += CpuMicros() - cpu_;
  }

 private:
  Spent* spent_;
  Clock::time_point wall_;
  double cpu_;
};

// A reader may do its own work when the link goes idle (the gadget reader
// writes its state file 200 ms after the last report): let that pass before
// a round is timed.
void Settle() { std::this_thread::sleep_for(std::chrono::milliseconds(600)); }

// Our library: the exported function, as a caller would use it. Adds the
// time of n exchanges to *us; false when one failed. Each side opens the
// node only for its own round: every open descriptor of a hidraw node gets
// every input report.
bool Ours(int n, Spent* spent) {
  const int handle = DllOpenReader();
  if (handle == VANTOR_ERR_NO_READER) return false;
  Settle();
  int failed = 0;
  {
    Timer timer(spent);
    for (int i = 0; i < n; ++i) failed += DllLedControl(handle, 1) != 0;
  }
  DllCloseReader(handle);
  return failed == 0;
}

// hidapi: the same report bytes, and the answer's status checked.
bool Hidapi(int n, Spent* spent) {
  hid_device* device = hid_open(VANTOR_VENDOR_ID, VANTOR_PRODUCT_ID, nullptr);
  if (!device) return false;
  Settle();
  const std::uint8_t value = 1;
  std::uint8_t frame[6], out[64], in[64];
  const std::size_t length = vantor::BuildCommandFrame(0, 0x78, &value, 1, frame);
  vantor::CutReport(frame, length, 0, vantor::kOutputReportId, out);
  int failed = 0;
  {
    Timer timer(spent);
    for (int i = 0; i < n; ++i) {
      if (hid_write(device, out, sizeof out) != static_cast<int>(sizeof out)) ++failed;
      const int got = hid_read_timeout(device, in, sizeof in, 10000);
      if (got < 7 || in[0] != vantor::kInputReportId || in[3] != 0) ++failed;
    }
  }
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
  // The exchanges alternate in rounds after a warm-up, each side first in
  // every other round, so neither profits from caches (or an emulator's
  // code translation) the other one warmed.
  if (hid_init() != 0) return 1;
  constexpr int kRounds = 10;
  Spent ours, hidapi, warmUp;
  bool oursOk = Ours(100, &warmUp), hidapiOk = Hidapi(100, &warmUp);
  for (int round = 0; round < kRounds; ++round) {
    const int part = n / kRounds + (round < n % kRounds ? 1 : 0);
    if (round % 2) hidapiOk = Hidapi(part, &hidapi) && hidapiOk;
    oursOk = Ours(part, &ours) && oursOk;
    if (round % 2 == 0) hidapiOk = Hidapi(part, &hidapi) && hidapiOk;
  }
  hid_exit();
  std::printf("exchanges %d\n", n);
  std::printf("vantor library  %.1f us per exchange, CPU %.1f us%s\n", ours.wall / n, ours.cpu / n,
              oursOk ? "" : "  (FAILED)");
  std::printf("hidapi          %.1f us per exchange, CPU %.1f us%s\n", hidapi.wall / n,
              hidapi.cpu / n, hidapiOk ? "" : "  (FAILED)");
  return oursOk && hidapiOk ? 0 : 1;
}
