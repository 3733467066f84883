// The text helpers: UTF-8 and UTF-16, hex, the OS's error texts and the
// terminal's escaping rule.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "text/escape.h"
#include "text/hex.h"
#include "text/os_error.h"
#include "text/utf8.h"
#ifdef _WIN32
#include <windows.h>

#include "text/utf16_win32.h"
#endif

namespace vantor::text {
namespace {

using Pair = std::pair<std::string, std::string>;
using namespace std::string_literals;

TEST(TextUtf8, SequencesAndWideText) {
  // The bytes walked as Utf8Sequence does: each sequence's length, 0 for a
  // byte that starts none.
  const Pair sequences[] = {
      {"d\xc3\xa9mo \xf0\x9f\x98\x80", "121114"},
      {"\xc0\xaf", "00"},                      // overlong '/'
      {"\xed\xa0\x80", "000"},                 // a surrogate
      {"x\xe6\x97", "100"},                    // cut short
      {"\xf4\x90\x80\x80", "0000"},            // above U+10FFFF
      {"\xf4\x8f\xbf\xbf\xed\x9f\xbf", "43"},  // U+10FFFF, U+D7FF
  };
  for (const auto& [bytes, lengths] : sequences) {
    std::string walked;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    for (std::size_t i = 0; i < bytes.size();) {
      const std::size_t n = Utf8Sequence(p + i, bytes.size() - i);
      walked += static_cast<char>('0' + n);
      i += n == 0 ? 1 : n;
    }
    EXPECT_EQ(walked, lengths) << ToLowerHex(bytes);
  }
  // A kept byte of a path is its Latin-1 character, a lone surrogate U+FFFD.
  EXPECT_EQ(Utf8(L"\u00e9\U0001F600|\xdcff|\xd800"),
            "\xc3\xa9\xf0\x9f\x98\x80|\xc3\xbf|\xef\xbf\xbd");
}

TEST(TextHex, BothCasesAndTheStrictDecoder) {
  const std::vector<std::uint8_t> bytes = {0x00, 0x7F, 0xA5, 0xFF};
  EXPECT_EQ(ToHex(bytes), "007FA5FF");
  EXPECT_EQ(ToLowerHex("\x00\x7f\xa5\xff"s), "007fa5ff");
  for (int c = 0; c < 256; ++c) {
    int value = -1;
    for (int v = 0; v < 16; ++v) {
      if (c == "0123456789abcdef"[v] || c == "0123456789ABCDEF"[v]) value = v;
    }
    EXPECT_EQ(HexDigit(static_cast<char>(c)), value) << c;
  }
  // Whole pairs of digits of either case and nothing else; "-": refused,
  // the result left as it was.
  const Pair decodes[] = {{"007fA5Ff", "\x00\x7f\xa5\xff"s},
                          {"", ""},
                          {"0", "-"},
                          {"0g", "-"},
                          {" 00", "-"},
                          {"0x00", "-"},
                          {"00\0"s, "-"}};
  for (const auto& [hex, decoded] : decodes) {
    std::string out = "-";
    std::vector<std::uint8_t> vector = {'-'};
    EXPECT_EQ(FromHex(hex, &out), decoded != "-") << hex;
    EXPECT_EQ(FromHex(hex, &vector), decoded != "-") << hex;
    EXPECT_EQ(out, decoded) << hex;
    EXPECT_EQ(std::string(vector.begin(), vector.end()), decoded) << hex;
  }
}

// The rule itself; tests/cli_test.cpp checks that every command follows it.
TEST(TextEscape, ControlsBidiAndStrayBytes) {
  const Pair bytes[] = {
      {"a\x1b[2J\x7f", "a\\x1b[2J\\x7f"},
      {"r\xff.json \xc0\xaf", "r\\xff.json \\xc0\\xaf"},
      {"S\xc2\x9b\xe2\x80\xae\xe2\x81\xa6\xd8\x9c", "S\\x9b\\u202e\\u2066\\u061c"},
      {"caf\xc3\xa9 \xf0\x9f\x98\x80\n", "caf\xc3\xa9 \xf0\x9f\x98\x80\\x0a"},
  };
  for (const auto& [raw, shown] : bytes) EXPECT_EQ(Shown(raw), shown) << raw;
  // Wide text: a byte a path kept is escaped as that byte.
  EXPECT_EQ(Shown(L"r\xdcff\x1b\x202e\n"), "r\\xff\\x1b\\u202e\\x0a");
  EXPECT_EQ(ShownPane(L"1\r\n2\n\r\x85"), "1\n2\n\\x0d\\x85");
  // A bad line: one \uXXXX per UTF-16 unit, as where wchar_t is 16 bits.
  EXPECT_EQ(EchoLine(L"a\\\t\u00e9\U0001F600"), "a\\\\\\x09\\xe9\\ud83d\\ude00");
  EXPECT_EQ(EchoLine(std::wstring(81, L'x') + L"\x1b"), std::string(80, 'x') + "...");
}

TEST(TextOsError, TheOsTextWithItsCode) {
#ifdef _WIN32
  const std::string text = OsErrorText(ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(text.empty() || text.back() == '.' || text.back() == '\n') << text;
  EXPECT_EQ(OsErrorWithCode(ERROR_FILE_NOT_FOUND), text + " (error 2)");
  EXPECT_EQ(OsErrorText(0x2FFFFFFF), "system error");

  // UTF-16 through Win32: a strict conversion refuses what is not in the
  // code page, a lenient one replaces it.
  std::wstring wide = L"x";
  EXPECT_FALSE(ToUtf16("a\xff", CodePage::kUtf8, true, &wide));
  EXPECT_EQ(wide, L"");
  EXPECT_TRUE(ToUtf16("a\xff", CodePage::kUtf8, false, &wide));
  EXPECT_EQ(wide, L"a\xfffd");
  EXPECT_EQ(Utf16FromUtf8("caf\xc3\xa9"), L"caf\u00e9");
  EXPECT_EQ(Utf8FromUtf16(L"\u00e9\xd800"), "\xc3\xa9\xef\xbf\xbd");
#else
  EXPECT_EQ(OsErrorText(ENOENT), std::strerror(ENOENT));
  EXPECT_EQ(OsErrorWithCode(ENOENT), std::string(std::strerror(ENOENT)) + " (errno 2)");
#endif
}

}  // namespace
}  // namespace vantor::text
