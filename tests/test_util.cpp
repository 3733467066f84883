#include "test_util.h"

#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

#include "reader/os.h"

namespace vantor::test {

#ifndef _WIN32  // Windows: test_util_win32.cpp
TempDir::TempDir() {
  path_ = (std::filesystem::temp_directory_path() / "vantor-test-XXXXXX").string();
  if (!::mkdtemp(path_.data())) throw std::runtime_error("mkdtemp failed");
}
#endif

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

void TempDir::Write(const std::string& name, const std::string& bytes) const {
  std::ofstream(File(name), std::ios::binary) << bytes;
}

namespace {
void SetEnv(const char* name, const char* value) {
#ifdef _WIN32
  _putenv_s(name, value ? value : "");  // an empty value removes the variable
#else
  value ? ::setenv(name, value, 1) : ::unsetenv(name);
#endif
}
}  // namespace

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
  if (const char* old = std::getenv(name)) hadOld_ = true, old_ = old;
  SetEnv(name, value);
}

ScopedEnv::~ScopedEnv() { SetEnv(name_.c_str(), hadOld_ ? old_.c_str() : nullptr); }

#ifndef _WIN32  // Windows: test_util_win32.cpp
// The reader's side on a USB HID gadget node. Like a device, a thread takes
// each report at once: the host's stack holds only a few before writes wait.
struct GadgetSide {
  explicit GadgetSide(int node) : fd(node), thread([this] { Run(); }) {}
  ~GadgetSide() {
    stop = true;
    thread.join();
  }

  // The next report on fd, waiting up to ms for it; empty when none came.
  static Report NextReport(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    Report report(65);
    const ssize_t n = ::poll(&p, 1, ms) > 0 ? ::read(fd, report.data(), report.size()) : 0;
    report.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return report;
  }

  void Run() {
    for (bool last = false; !last;) {
      last = stop;
      for (Report r; !(r = NextReport(fd, last ? 0 : 20)).empty();) {
        std::lock_guard<std::mutex> lock(mutex);
        written.push_back(std::move(r));
      }
    }
  }

  // Everything written so far, once nothing new has come for 100 ms.
  std::vector<Report> Take() {
    std::unique_lock<std::mutex> lock(mutex);
    for (std::size_t i = 0, seen = ~std::size_t{0}; i < 50 && written.size() != seen; ++i) {
      seen = written.size();
      lock.unlock();
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      lock.lock();
    }
    return std::exchange(written, {});
  }

  int fd;
  std::mutex mutex;
  std::vector<Report> written;
  std::atomic<bool> stop{false};
  std::thread thread;
};

ReaderPeer::ReaderPeer() {
  if (const char* nodes = std::getenv("VANTOR_TEST_HID_PEER"); nodes && *nodes) {
    std::istringstream names(nodes);
    std::string hostNode, readerNode;
    names >> hostNode >> readerNode;
    reader_ = ::open(readerNode.c_str(), O_RDWR | O_CLOEXEC);
    host_ = ::open(hostNode.c_str(), O_RDWR | O_CLOEXEC);
    if (host_ < 0 || reader_ < 0) throw std::runtime_error("cannot open " + std::string(nodes));
    gadget_ = std::make_shared<GadgetSide>(reader_);
  } else {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0)
      throw std::runtime_error("socketpair");
    host_ = fds[0], reader_ = fds[1];
  }
  OpenHost();
}

void ReaderPeer::CloseReaderSide() {
  gadget_.reset();
  if (reader_ >= 0) ::close(reader_);
  reader_ = -1;
}

std::vector<Report> ReaderPeer::TakeWritten() {
  if (gadget_) return gadget_->Take();
  std::vector<Report> reports;
  for (Report r; !(r = GadgetSide::NextReport(reader_, 0)).empty();) reports.push_back(r);
  return reports;
}

void ReaderPeer::Answer(const std::vector<Report>& reports) {
  for (const auto& r : reports) {
    ssize_t n = ::send(reader_, r.data(), r.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == ENOTSOCK) n = ::write(reader_, r.data(), r.size());
    if (n < 0) throw std::runtime_error("send failed");
  }
}
#endif

void ReaderPeer::OpenHost() {
  if (AddReaderHandle(os::MessageIo(host_)) != host_)
    throw std::runtime_error("host not registered");
}

ReaderPeer::~ReaderPeer() {
  CloseReaderHandle(host_);
  CloseReaderSide();
}

void ReaderPeer::AnswerFrame(std::uint8_t status, const std::vector<std::uint8_t>& data) {
  const auto n = static_cast<std::uint16_t>(data.size());
  Answer(Reports(Frame({0, 0, status, std::uint8_t(n), std::uint8_t(n >> 8)}, data)));
}

std::vector<std::uint8_t> Frame(std::vector<std::uint8_t> frame,
                                const std::vector<std::uint8_t>& data) {
  frame.insert(frame.end(), data.begin(), data.end());
  std::uint8_t x = 0;
  for (std::size_t i = 1; i < frame.size(); ++i) x ^= frame[i];
  frame.push_back(x);
  return frame;
}

std::vector<Report> Reports(const std::vector<std::uint8_t>& frame, std::uint8_t id) {
  std::vector<Report> reports;
  for (std::size_t at = 0; at < frame.size(); at += 63) {
    Report r(64, 0);
    r[0] = id;
    std::copy(frame.begin() + at, frame.begin() + std::min(at + 63, frame.size()), r.begin() + 1);
    reports.push_back(r);
  }
  return reports;
}

std::vector<std::uint8_t> Hex(const std::string& hex) {
  std::string digits = hex;
  digits.erase(std::remove(digits.begin(), digits.end(), ' '), digits.end());
  std::vector<std::uint8_t> bytes;
  if (!FromHex(digits, &bytes)) throw std::invalid_argument("not hex: " + hex);
  return bytes;
}

std::string ReadFile(const std::string& path) {
  std::stringstream s;
  s << std::ifstream(path, std::ios::binary).rdbuf();
  return s.str();
}

}  // namespace vantor::test
