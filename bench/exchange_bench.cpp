// One command exchange (send a frame, receive the answer) over a socket
// pair to an in-process responder: the host's own cost per exchange.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "protocol/frame.h"
#include "reader/os.h"
#include "vantor/reader.h"

namespace {

// Answers every command frame with status 0 and no data, until EOF.
void Responder(int fd) {
  vantor::CommandAssembler* command = new vantor::CommandAssembler;
  std::uint8_t report[vantor::kReportSize];
  for (;;) {
    const ssize_t n = ::recv(fd, report, sizeof report, 0);
    if (n <= 0) break;
    if (command->Feed(report, static_cast<std::size_t>(n)) == vantor::CommandAssembler::kNeedMore) {
      continue;
    }
    std::uint8_t frame[6];
    vantor::BuildResponseFrame(0, command->code(), 0, nullptr, 0, frame);
    std::uint8_t answer[vantor::kReportSize];
    vantor::CutReport(frame, sizeof frame, 0, vantor::kInputReportId, answer);
    ::send(fd, answer, sizeof answer, MSG_NOSIGNAL);
    delete command;
    command = new vantor::CommandAssembler;
  }
  delete command;
  ::close(fd);
}

void BM_Exchange(benchmark::State& state) {
  int fds[2];
  ::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds);
  std::thread reader(Responder, fds[1]);
  // The host end is a reader handle once the library holds it.
  const int host = vantor::AddReaderHandle(vantor::os::MessageIo(fds[0]));
  std::uint8_t record[255];
  for (int i = 0; i < 255; ++i) record[i] = static_cast<std::uint8_t>(i);
  const auto length = static_cast<unsigned char>(state.range(0));
  for (auto _ : state) {
    if (DllWriteOfflineData(host, 0x11, record, length) != 0) {
      state.SkipWithError("exchange failed");
      break;
    }
  }
  DllCloseReader(host);
  reader.join();
  state.SetLabel(std::to_string((length + 2 + 5 + 62) / 63) + " output report(s)");
}
BENCHMARK(BM_Exchange)->Arg(0)->Arg(20)->Arg(255)->UseRealTime();

// The codec alone: building and cutting a frame, gathering an answer.
void BM_CodecOnly(benchmark::State& state) {
  std::uint8_t data[257] = {};
  std::uint8_t frame[vantor::kCommandFrameBuffer];
  std::uint8_t report[vantor::kReportSize];
  std::uint8_t answerFrame[6];
  vantor::BuildResponseFrame(0, 0x7D, 0, nullptr, 0, answerFrame);
  std::uint8_t answer[vantor::kReportSize];
  vantor::CutReport(answerFrame, 6, 0, vantor::kInputReportId, answer);
  for (auto _ : state) {
    const std::size_t n = vantor::BuildCommandFrame(0, 0x7D, data, sizeof data, frame);
    for (std::size_t i = 0; i < vantor::ReportCount(n); ++i) {
      vantor::CutReport(frame, n, i, vantor::kOutputReportId, report);
      benchmark::DoNotOptimize(report);
    }
    vantor::ResponseAssembler response;
    benchmark::DoNotOptimize(response.Feed(answer, sizeof answer));
  }
}
BENCHMARK(BM_CodecOnly);

}  // namespace
