// libFuzzer target: any bytes as the emulated reader's state file. Loading
// either gives a state or throws (the link refuses the file on any
// std::exception; a number too large for JSON comes as the parser's
// out_of_range, not as StateError); a loaded state is saved and must load
// again. The same bytes as hex text: taken exactly when they are pairs of
// hex digits, and written back as the same digits in upper case.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "emulator/sim_state.h"
#include "protocol/hex.h"

namespace {

// One scratch folder per process, removed at exit. Plain arrays: they are
// still there when the exit handler runs.
char scratch[] = "/tmp/vantor-fuzz-state-XXXXXX";
char inPath[sizeof scratch + 16];
char outPath[sizeof scratch + 16];

void RemoveScratch() {
  std::remove(inPath);
  std::remove(outPath);
  ::rmdir(scratch);
}

void MakeScratch() {
  if (inPath[0] != '\0') return;
  if (::mkdtemp(scratch) == nullptr) std::abort();
  std::snprintf(inPath, sizeof inPath, "%s/in.json", scratch);
  std::snprintf(outPath, sizeof outPath, "%s/out.json", scratch);
  std::atexit(RemoveScratch);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vantor::sim;
  std::string text(reinterpret_cast<const char*>(data), size);
  const bool digits = size % 2 == 0 && std::all_of(text.begin(), text.end(), [](unsigned char c) {
                        return std::isxdigit(c) != 0;
                      });
  Bytes bytes;
  if (vantor::FromHex(text, &bytes) != digits) __builtin_trap();
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (digits && vantor::ToHex(bytes) != text) __builtin_trap();

  MakeScratch();
  const std::string in = inPath, out = outPath;
  std::FILE* f = std::fopen(in.c_str(), "wb");
  if (f == nullptr) std::abort();
  std::fwrite(data, 1, size, f);
  std::fclose(f);

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
