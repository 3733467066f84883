// libFuzzer target: any bytes as the emulated reader's state file. Loading
// either gives a state or throws (the link refuses the file on any
// std::exception; a number too large for JSON comes as the parser's
// out_of_range, not as StateError); a loaded state is saved and must load
// again. The same bytes as hex text: taken exactly when they are pairs of
// hex digits, and written back as the same digits in upper case.
#include <unistd.h>

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <string>

#include "emulator/sim_state.h"
#include "text/hex.h"

// One scratch folder per process, removed at exit.
struct Scratch {
  Scratch() {
    if (::mkdtemp(dir.data()) == nullptr) std::abort();
  }
  ~Scratch() { std::filesystem::remove_all(dir, ec); }
  std::string dir = "/tmp/vantor-fuzz-state-XXXXXX";
  std::error_code ec;
};

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vantor::sim;
  std::string text(reinterpret_cast<const char*>(data), size);
  const bool digits =
      size % 2 == 0 && text.find_first_not_of("0123456789ABCDEFabcdef") == std::string::npos;
  Bytes bytes;
  if (vantor::text::FromHex(text, &bytes) != digits) __builtin_trap();
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (digits && vantor::text::ToHex(bytes) != text) __builtin_trap();

  static const Scratch scratch;
  const std::string in = scratch.dir + "/in.json", out = scratch.dir + "/out.json";
  if (!std::ofstream(in, std::ios::binary).write(reinterpret_cast<const char*>(data), size)) {
    std::abort();
  }

  SimState state;
  try {
    state = LoadState(in);
  } catch (const std::exception&) {
    return 0;
  }
  std::string error;
  if (!SaveState(out, state, &error)) std::abort();
  try {
    LoadState(out);
  } catch (const std::exception&) {
    __builtin_trap();  // what was saved must load again
  }
  return 0;
}
