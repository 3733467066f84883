// libFuzzer target: any bytes as the emulated reader's state file, parsed
// in memory. Parsing either gives a state or throws (the link refuses the
// file on any std::exception); a parsed state's text must parse again and
// give the same text. The same bytes as hex text: taken exactly when
// they are pairs of hex digits, and written back as the same digits in
// upper case.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

#include "emulator/sim_state.h"
#include "text/hex.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vantor::sim;
  const std::string text(reinterpret_cast<const char*>(data), size);

  const bool digits =
      size % 2 == 0 && text.find_first_not_of("0123456789ABCDEFabcdef") == std::string::npos;
  Bytes bytes;
  if (vantor::text::FromHex(text, &bytes) != digits) __builtin_trap();
  std::string upper = text;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (digits && vantor::text::ToHex(bytes) != upper) __builtin_trap();

  SimState state;
  try {
    state = ParseState(text);
  } catch (const std::exception&) {
    return 0;
  }
  // What was saved loads again, and saves the same.
  const std::string saved = StateText(state);
  try {
    if (StateText(ParseState(saved)) != saved) __builtin_trap();
  } catch (const std::exception&) {
    __builtin_trap();
  }
  return 0;
}
