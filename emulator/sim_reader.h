// The emulated reader's behaviour: takes the host's output reports, gathers
// command frames, carries them out on a SimState and gives back the
// response frame. No I/O; the link moves the bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "sim_state.h"
#include "frame.h"

namespace vantor::sim {

struct Reply {
  enum Kind {
    kNone,        // nothing to send (frame incomplete, or answer withheld)
    kAnswer,      // send frame
    kDisconnect,  // drop the link
  };
  Kind kind = kNone;
  Bytes frame;  // response frame when kind is kAnswer
};

class SimReader {
 public:
  explicit SimReader(SimState& state) : state_(state) {}

  // One output report as received (bytes as the OS delivered them, report
  // ID included).
  Reply FeedReport(const std::uint8_t* report, std::size_t bytes);

  // One whole command frame.
  Reply HandleFrame(std::uint8_t slot, std::uint8_t code, const std::uint8_t* data, std::size_t n,
                    bool checksumOk);

 private:
  // The command's normal effect on the state and its answer.
  Reply Execute(std::uint8_t slot, std::uint8_t code, const std::uint8_t* data, std::size_t n);
  const Fault* DueFault(std::uint8_t code);

  SimState& state_;
  CommandAssembler assembler_;
  bool midFrame_ = false;
  std::array<std::uint64_t, 256> framesPerCode_ = {};
};

// A response frame: slot and code echoed, status, data, checksum.
Bytes ResponseFrame(std::uint8_t slot, std::uint8_t code, std::uint8_t status,
                    const std::uint8_t* data = nullptr, std::size_t n = 0);

}  // namespace vantor::sim
