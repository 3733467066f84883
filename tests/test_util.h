// Helpers shared by the tests: temporary folders, environment overrides and
// a socket pair on which a test plays the reader.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "text/hex.h"

namespace vantor::test {

using text::FromHex;
using text::ToHex;

class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  void Write(const std::string& name, const std::string& bytes) const;

 private:
  std::string path_;
};

// Sets (or with nullptr unsets) an environment variable for one scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value);
  ~ScopedEnv();

 private:
  std::string name_, old_;
  bool hadOld_ = false;
};

using Report = std::vector<std::uint8_t>;

// AF_UNIX SOCK_SEQPACKET pair: host() is a reader handle for the link
// functions, open in the library's table of handles until the peer goes;
// the test plays the reader on the other end. On Linux,
// VANTOR_TEST_HID_PEER="HOSTNODE GADGETNODE" (e.g. "/dev/hidraw0 /dev/hidg0")
// puts a real kernel's USB HID stack in between instead.
class ReaderPeer {
 public:
  ReaderPeer();
  ~ReaderPeer();
  int host() const { return host_; }
  std::vector<Report> TakeWritten();  // each 64 bytes, without waiting long
  void Answer(const std::vector<Report>& reports);
  void AnswerFrame(std::uint8_t status, const std::vector<std::uint8_t>& data);
  void CloseReaderSide();

 private:
  void OpenHost();  // registers host() as an open handle

  int host_ = -1;
  int reader_ = -1;
  std::shared_ptr<struct GadgetSide> gadget_;  // with VANTOR_TEST_HID_PEER
};

// A frame as the wire has it, built here rather than by the codec under
// test: header (a command's slot, code, length; a response's two free
// bytes, status, length), data, then the XOR of every byte after the first.
std::vector<std::uint8_t> Frame(std::vector<std::uint8_t> header,
                                const std::vector<std::uint8_t>& data);
// 64-byte reports of ID id (3 to the reader, 4 from it), the last zero-filled.
std::vector<Report> Reports(const std::vector<std::uint8_t>& frame, std::uint8_t id = 4);
std::vector<std::uint8_t> Hex(const std::string& hex);  // blanks anywhere; a typo throws
std::string ReadFile(const std::string& path);

}  // namespace vantor::test
