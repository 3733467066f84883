// vantor-gadget STATE.json [/dev/hidgN]: the emulated reader on the device
// side of a USB HID gadget, so that a host sees it as a real reader on a
// real (or dummy_hcd) USB bus. Same state file, faults and log as the
// in-process emulator; the state is written when the program ends (SIGTERM,
// SIGINT) and after every 200 ms without a report, so a host can read it
// between commands.
//
// vantor-gadget --serial STATE.json prints the state's serial number (an
// empty line for none), for the gadget's serial number string, which is set
// before the gadget is bound to its controller.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "sim_link.h"
#include "sim_link_common.h"

namespace vantor::sim {
namespace {

constexpr int kIdleSaveMs = 200;

// What the emulator could not do, on stderr: the library itself prints nothing.
void PrintFailure(const std::string& text) {
  std::fprintf(stderr, "vantor emulator: %s\n", text.c_str());
}

class GadgetEnd : public ReaderEnd {
 public:
  GadgetEnd(int fd, int signals, const std::string& path, const SimState& state)
      : fd_(fd), signals_(signals), path_(path), state_(state) {}
  ~GadgetEnd() override { Close(); }

  bool Receive(std::uint8_t report[kReportSize], std::size_t* got) override {
    for (;;) {
      const int ready = Wait(POLLIN, dirty_ ? kIdleSaveMs : -1);
      if (ready < 0) return false;
      if (ready == 0) {
        // Idle: let the host see what it did so far.
        std::string failure;
        if (!Save(path_, state_, &failure)) PrintFailure(failure);
        dirty_ = false;
        continue;
      }
      const ssize_t n = ::read(fd_, report, kReportSize);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (n < 0) return Fail("read");
      *got = static_cast<std::size_t>(n);
      dirty_ = true;
      return true;
    }
  }

  bool Send(const std::uint8_t report[kReportSize]) override {
    for (;;) {
      if (Wait(POLLOUT, -1) < 0) return false;
      const ssize_t n = ::write(fd_, report, kReportSize);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (n < 0) return Fail("write");  // ESHUTDOWN: unbound from the bus
      return n == static_cast<ssize_t>(kReportSize);
    }
  }

  void Close() override {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  // 1: fd_ is ready for events, 0: time-out, -1: a signal asks us to end
  // (or poll failed).
  int Wait(short events, int timeoutMs) {
    pollfd p[2] = {{fd_, events, 0}, {signals_, POLLIN, 0}};
    for (;;) {
      const int ready = ::poll(p, 2, timeoutMs);
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 0) {
        Fail("poll");
        return -1;
      }
      if (ready == 0) return 0;
      if (p[1].revents) return -1;
      return 1;
    }
  }

  bool Fail(const char* what) {
    std::fprintf(stderr, "vantor-gadget: %s: %s\n", what, std::strerror(errno));
    return false;
  }

  int fd_;
  int signals_;
  const std::string& path_;
  const SimState& state_;
  bool dirty_ = false;
};

}  // namespace
}  // namespace vantor::sim

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--serial") == 0) {
    try {
      std::printf("%s\n", vantor::sim::LoadState(argv[2]).serial.c_str());
      return 0;
    } catch (const std::exception& e) {
      std::fprintf(stderr, "vantor-gadget: state file %s: %s\n", argv[2], e.what());
      return 2;
    }
  }
  if (argc < 2 || argc > 3 || argv[1][0] == '-') {
    std::fprintf(stderr,
                 "usage: vantor-gadget STATE.json [/dev/hidgN]\n"
                 "       vantor-gadget --serial STATE.json\n");
    return 2;
  }
  const std::string path = argv[1];
  const char* node = argc > 2 ? argv[2] : "/dev/hidg0";

  // Ending signals arrive through a descriptor, so a blocked write can
  // still be abandoned and the state written.
  sigset_t ending;
  sigemptyset(&ending);
  sigaddset(&ending, SIGTERM);
  sigaddset(&ending, SIGINT);
  sigaddset(&ending, SIGHUP);
  sigprocmask(SIG_BLOCK, &ending, nullptr);
  const int signals = ::signalfd(-1, &ending, SFD_CLOEXEC);

  // The state file's lock is held for the program's life.
  vantor::sim::SetFailureReport(vantor::sim::PrintFailure);
  auto link = vantor::sim::LoadForLink(path.c_str(), nullptr);
  if (!link.state) return 2;
  vantor::sim::SimState& state = *link.state;
  const int fd = ::open(node, O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0 || signals < 0) {
    std::fprintf(stderr, "vantor-gadget: cannot open %s: %s\n", node, std::strerror(errno));
    return 1;
  }
  vantor::sim::GadgetEnd end(fd, signals, path, state);
  std::string failure;
  const bool saved = vantor::sim::ServeAndSave(end, path, state, &failure);
  if (!failure.empty()) vantor::sim::PrintFailure(failure);
  return saved ? 0 : 1;
}
