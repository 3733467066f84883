// The download files the loader's tests read: the bytes, the mode they are
// loaded in and what the load gives ("number text|" per line stored, then
// "error number at physical line: text").
#pragma once

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "download/loader.h"

namespace vantor::test {

using LoaderCase = std::tuple<std::string, std::uint8_t, std::string>;

inline std::vector<LoaderCase> LoaderCases() {
  using namespace std::string_literals;
  using download::kMaxHeldLine;
  const std::string hex521(521, 'A'), hex510(510, 'b');
  std::string pairs173 = "00";  // 518 characters, 173 bytes: blanks are not data
  for (int i = 0; i < 172; ++i) pairs173 += " 00";
  return {
      // Trimmed (0xA0 too), blank lines skipped, upper-cased, 0x1A ends the text.
      {";Type=F1 ProductType=22 \r\n \xA0 00 a4\t\xA0\n\n \t\v\f\r\nreset\nReset\r\nRESET\r", 1,
       "1 ;Type=F1 ProductType=22|2 00 A4|3 RESET|4 RESET|5 RESET|"},
      {";" + std::string(600, 'x'), 0, "1 ;" + std::string(600, 'x') + "|"},
      {"00\n11\x1AGG\nGG\n", 0, "1 00|2 11|"},
      {"RESET 00\n", 0, "error 0 at 1: RESET 00"},
      {"00\r11\n", 0, "error 0 at 1: 00\r11"},
      {"00\0 11\n"s, 0, "error 0 at 1: 00\0 11"s},
      // The number counts stored lines; the physical line and text (trimmed) are as written.
      {";=F1\n\n00 11\n\n  G0 zz \r\n00\n", 1, "1 ;=F1|2 00 11|error 2 at 5: G0 zz"},
      // At most 521 hex characters; in mode 0 at most 255 bytes.
      {hex521, 1, "1 " + hex521 + "|"},
      {hex521 + "0", 1, "error 0 at 1: " + hex521 + "0"},
      {hex510, 0, "1 " + std::string(510, 'B') + "|"},
      {hex510 + "b", 0, "error 0 at 1: " + hex510 + "b"},
      {pairs173, 0, "1 " + pairs173 + "|"},
      // C-APDU lines, not in a firmware image.
      {"C-APDU 00 A4 04 00\nc-apdu 0a\n", 0, "1 C-APDU 00 A4 04 00|2 C-APDU 0A|"},
      {"C-APDU XYZ\n", 0, "error 0 at 1: C-APDU XYZ"},
      {";=F1\nC-APDU 00 A4\n", 1, "1 ;=F1|error 1 at 2: C-APDU 00 A4"},
      {";=E0\nC-APDU 00 A4\n", 2, "1 ;=E0|2 C-APDU 00 A4|"},
      {"C-APDU " + std::string(510, '1'), 0, "1 C-APDU " + std::string(510, '1') + "|"},
      {"C-APDU" + std::string(512, '0'), 0, "error 0 at 1: C-APDU" + std::string(512, '0')},
      // A line longer than is held breaks the rules, whatever it is.
      {";h\n;" + std::string(kMaxHeldLine, 'c') + "\n00\n", 1,
       "1 ;h|error 1 at 2: ;" + std::string(kMaxHeldLine - 1, 'c')},
      {"00\n\n" + std::string(kMaxHeldLine + 1, ' ') + "\n00\n", 1, "1 00|error 1 at 3: "},
  };
}

}  // namespace vantor::test
