#include "test_util.h"

#ifndef _WIN32
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "protocol/frame.h"

namespace vantor::test {

#ifndef _WIN32  // Windows: test_util_win32.cpp
TempDir::TempDir() {
  std::string pattern =
      (std::filesystem::temp_directory_path() / "vantor-test-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}
#endif

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

void TempDir::Write(const std::string& name, const std::string& bytes) const {
  std::ofstream out(File(name), std::ios::binary);
  out << bytes;
}

#ifndef _WIN32  // Windows: test_util_win32.cpp
ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
  if (const char* old = std::getenv(name)) {
    hadOld_ = true;
    old_ = old;
  }
  if (value) {
    ::setenv(name, value, 1);
  } else {
    ::unsetenv(name);
  }
}

ScopedEnv::~ScopedEnv() {
  if (hadOld_) {
    ::setenv(name_.c_str(), old_.c_str(), 1);
  } else {
    ::unsetenv(name_.c_str());
  }
}

ReaderPeer::ReaderPeer() {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0) {
    throw std::runtime_error("socketpair failed");
  }
  host_ = fds[0];
  reader_ = fds[1];
}

ReaderPeer::~ReaderPeer() {
  if (host_ >= 0) ::close(host_);
  CloseReaderSide();
}

void ReaderPeer::CloseReaderSide() {
  if (reader_ >= 0) ::close(reader_);
  reader_ = -1;
}

std::vector<Report> ReaderPeer::TakeWritten() {
  std::vector<Report> reports;
  for (;;) {
    pollfd p{reader_, POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0) break;
    Report report(65);
    const ssize_t n = ::recv(reader_, report.data(), report.size(), 0);
    if (n <= 0) break;
    report.resize(static_cast<std::size_t>(n));
    reports.push_back(report);
  }
  return reports;
}

void ReaderPeer::Answer(const std::vector<Report>& reports) {
  for (const auto& r : reports) {
    if (::send(reader_, r.data(), r.size(), MSG_NOSIGNAL) < 0) {
      throw std::runtime_error("send failed");
    }
  }
}
#endif

void ReaderPeer::AnswerFrame(std::uint8_t status,
                             const std::vector<std::uint8_t>& data,
                             std::uint8_t b0, std::uint8_t b1) {
  std::vector<std::uint8_t> frame(data.size() + 6);
  const std::size_t length = BuildResponseFrame(b0, b1, status, data.data(),
                                                data.size(), frame.data());
  std::vector<Report> reports;
  for (std::size_t i = 0; i < ReportCount(length); ++i) {
    Report report(64);
    CutReport(frame.data(), length, i, kInputReportId, report.data());
    reports.push_back(report);
  }
  Answer(reports);
}

std::vector<std::uint8_t> Hex(const std::string& hex) {
  std::vector<std::uint8_t> bytes;
  std::string digits;
  for (char c : hex) {
    if (c != ' ') digits += c;
  }
  for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
    bytes.push_back(
        static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

std::string ToHex(const std::uint8_t* p, std::size_t n) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (std::size_t i = 0; i < n; ++i) {
    out += digits[p[i] >> 4];
    out += digits[p[i] & 15];
  }
  return out;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace vantor::test
