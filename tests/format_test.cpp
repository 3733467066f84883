// Download file format and code page conversion.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "download/codepage.h"
#include "download/format.h"
#include "test_util.h"

namespace {

using namespace vantor::download;
using Bytes = std::vector<std::uint8_t>;

Bytes Decode(const std::string& text, std::uint32_t n) {
  // One guard byte past the (n + 1) / 2 the call may write.
  Bytes out((n + 1) / 2 + 1, 0xEE);
  std::int32_t count = -1;
  DecodeHexPairs(text.c_str(), n, out.data(), &count);
  EXPECT_EQ(out.back(), 0xEE) << "wrote past (n + 1) / 2 bytes";
  EXPECT_GE(count, 0);
  out.resize(count < 0 ? 0 : static_cast<std::size_t>(count));
  return out;
}

TEST(DownloadFormat, DecodeHexPairs) {
  struct Case {
    std::string text;
    std::uint32_t n;
    Bytes expected;
  };
  const Case cases[] = {
      {"0A1b", 4, {0x0A, 0x1B}},
      {"ABC", 3, {0xAB, 0xC0}},  // odd: the NUL after the text is the low digit
      {"G1", 2, {0x71}},         // 'G' keeps the low bits of its code
      {"  ", 2, {0x00}},
      {";F", 2, {0xBF}},
      {"fF", 2, {0xFF}},
      {"00 A4", 5, {0x00, 0x0A, 0x40}},
      {"\xFF\x80", 2, {0xF0}},  // bytes above 0x7F: low bits, no sign trouble
      {"1234", 2, {0x12}},      // only n characters count
      {"", 0, {}},
      {"12", 0, {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Decode(c.text, c.n), c.expected) << '"' << c.text << "\" n=" << c.n;
  }
}

TEST(DownloadFormat, DecodeHexPairsLongInputEnds) {
  // 65535 and more characters: the loop must neither wrap nor overrun.
  for (std::uint32_t n : {65534u, 65535u, 65536u, 70001u}) {
    const std::string text(n, '7');
    const Bytes out = Decode(text, n);
    ASSERT_EQ(out.size(), (n + 1) / 2u) << n;
    EXPECT_EQ(out.front(), 0x77);
    EXPECT_EQ(out.back(), n % 2 ? 0x70 : 0x77) << n;
  }
}

TEST(DownloadFormat, CheckHexLine) {
  struct Case {
    std::string text;
    int expected;
  };
  const Case cases[] = {
      {"00 A4 04 00", 1}, {"ab12", 1},  {"0123456789ABCDEFabcdef ", 1},
      {"", 1},            {"00\t11", 0}, {"-1", 0},
      {"G0", 0},          {"g0", 0},     {"0;", 0},
      {"00\r", 0},        {"0x00", 0},   {std::string("0\0" "0", 3), 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CheckHexLine(static_cast<std::uint32_t>(c.text.size()), c.text.data()), c.expected)
        << '"' << c.text << '"';
  }
  for (int b = 0x80; b <= 0xFF; ++b) {
    const char text[] = {'0', static_cast<char>(b), '0'};
    EXPECT_EQ(CheckHexLine(3, text), 0) << b;
  }
  EXPECT_EQ(CheckHexLine(2, "12XX"), 1) << "only n characters are checked";
}

TEST(DownloadFormat, IsFormatSpaceExactSet) {
  const std::vector<wchar_t> spaces = {L'\t', L'\n', L'\v', L'\f', L'\r', L' ', 0xA0};
  for (int c = 0; c < 0x3100; ++c) {
    const bool expected =
        std::find(spaces.begin(), spaces.end(), static_cast<wchar_t>(c)) != spaces.end();
    EXPECT_EQ(IsFormatSpace(static_cast<wchar_t>(c)), expected) << std::hex << c;
  }
}

TEST(DownloadFormat, TrimLine) {
  const std::pair<std::wstring, std::wstring> cases[] = {
      {L"", L""},
      {L" \t\r\n", L""},
      {L"  00 A4 \t\r", L"00 A4"},
      {L"\xA0" L"00\xA0", L"00"},
      {L"\v\f;c \t", L";c"},
      {L"a \t b", L"a \t b"},
      {L"\x2003" L"a\x2003", L"\x2003" L"a\x2003"},  // other spaces stay
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(TrimLine(in), out);
}

TEST(DownloadFormat, ParseHeaderLine) {
  struct Case {
    std::wstring line;
    std::uint8_t mode;
    Bytes header;
  };
  const Case cases[] = {
      {L";Type=F1 ProductType=22 ProductNum=33", 1, {0xF1, 0x22, 0x33}},
      {L";Type=F1 ProductNum=33 ProductType=22", 1, {0xF1, 0x22, 0x33}},
      {L";x=E0", 2, {0xE0, 0x00, 0x00}},
      {L";x=S0", 0, {0x30, 0x00, 0x00}},  // 'S' gives 3
      {L";x=f1", 0, {0xF1, 0x00, 0x00}},  // the marker is case-sensitive
      {L"x=F1 ProductType=22", 0, {0, 0, 0}},
      {L" ;x=F1", 0, {0, 0, 0}},
      {L"", 0, {0, 0, 0}},
      {L";", 0, {0xB0, 0x00, 0x00}},
      // No '=': the type byte comes from position 0 (";" -> 0xB, ";a" -> BA).
      {L";abc", 0, {0xBA, 0x00, 0x00}},
      // Missing keys: product type from positions 11-12, number from 10-11.
      {L";=F1 abcdef0123456", 1, {0xF1, 0x01, 0xF0}},
      {L";ProductType=F2 ProductNum=01", 1, {0xF2, 0xF2, 0x01}},
      {L";T=F1 ProductNum=7", 1, {0xF1, 0xC4, 0x70}},  // one character: digit * 16
      {L";T=F1 ProductNum=", 1, {0xF1, 0xC4, 0x00}},   // none: 0
      {L";T=F", 1, {0xF0, 0x00, 0x00}},
      {L";T=", 0, {0x00, 0x00, 0x00}},
      {L";t=F1 producttype=22 productnum=33", 1, {0xF1, 0xC4, 0x5C}},
      {L";T=\x00E9\x00E9", 0, {0x99, 0x00, 0x00}},  // read from the ANSI form
  };
  vantor::test::ScopedEnv cp("VANTOR_CODEPAGE", "CP1252");
  for (const Case& c : cases) {
    std::uint8_t header[3] = {0xEE, 0xEE, 0xEE};
    const std::uint8_t mode = ParseHeaderLine(c.line, header);
    EXPECT_EQ(mode, c.mode) << std::string(c.line.begin(), c.line.end());
    EXPECT_EQ(Bytes(header, header + 3), c.header) << std::string(c.line.begin(), c.line.end());
  }
}

TEST(DownloadCodepage, ToAnsi) {
  struct Case {
    const char* charset;
    std::wstring text;
    std::string expected;
  };
  const Case cases[] = {
      {"CP1252", L"", ""},
      {"CP1252", L"00 A4", "00 A4"},
      {"CP1252", L"\x00E9\x20AC", "\xE9\x80"},
      {"CP1252", L"a\x0416\x0416" L"b", "a??b"},  // one '?' per character
      {"CP1252", std::wstring(1, static_cast<wchar_t>(0xD800)), "?"},
      {"CP1252", std::wstring(L"a\0b", 3), std::string("a\0b", 3)},
      {"UTF-8", L"\x00E9", "\xC3\xA9"},
      {"ISO-8859-1", L"\x00E9\x20AC", "\xE9?"},
      {"CP932", L"\x3042" L"a", "\x82\xA0" "a"},
      {"NO-SUCH-CHARSET", L"a\x00E9", "a?"},
  };
  for (const Case& c : cases) {
    vantor::test::ScopedEnv cp("VANTOR_CODEPAGE", c.charset);
    EXPECT_EQ(AnsiCharset(), c.charset);
    EXPECT_EQ(ToAnsi(c.text), c.expected) << c.charset;
  }
}

TEST(DownloadCodepage, FromAnsi) {
  struct Case {
    const char* charset;
    std::string bytes;
    std::wstring expected;
  };
  const Case cases[] = {
      {"CP1252", "", L""},
      {"CP1252", "\xE9\x80", L"\x00E9\x20AC"},
      {"CP1252", std::string("ab\0cd", 5), L"ab"},  // the text ends at NUL
      {"UTF-8", "a\xC3\xA9", L"a\x00E9"},
      {"UTF-8", "\xFF" "a", L"\x00FF" L"a"},  // invalid byte stands for itself
      {"UTF-8", "a\xC3", L"a\x00C3"},         // incomplete at the end
      {"UTF-8", "\xC3(\xC3\xA9", L"\x00C3(\x00E9"},
      {"CP932", "\x82\xA0" "a", L"\x3042" L"a"},
      {"NO-SUCH-CHARSET", "a\xE9", L"a\x00E9"},
  };
  for (const Case& c : cases) {
    vantor::test::ScopedEnv cp("VANTOR_CODEPAGE", c.charset);
    EXPECT_EQ(FromAnsi(c.bytes.data(), c.bytes.size()), c.expected) << c.charset;
  }
  EXPECT_EQ(FromAnsi(nullptr, 5), L"");
}

TEST(DownloadCodepage, FollowsChangedCharset) {
  // The cache must not keep using the first charset it saw.
  for (int round = 0; round < 2; ++round) {
    {
      vantor::test::ScopedEnv cp("VANTOR_CODEPAGE", "CP1252");
      EXPECT_EQ(ToAnsi(L"\x00E9"), "\xE9");
    }
    {
      vantor::test::ScopedEnv cp("VANTOR_CODEPAGE", "UTF-8");
      EXPECT_EQ(ToAnsi(L"\x00E9"), "\xC3\xA9");
    }
  }
}

TEST(DownloadCodepage, ConcurrentConversions) {
  vantor::test::ScopedEnv cp("VANTOR_CODEPAGE", "CP1252");
  auto work = [] {
    int bad = 0;
    for (int i = 0; i < 2000; ++i) {
      if (ToAnsi(L"x\x00E9\x0416") != "x\xE9?") ++bad;
      if (FromAnsi("\x80z", 2) != L"\x20AC" L"z") ++bad;
    }
    return bad;
  };
  int bad_other = -1;
  std::thread other([&] { bad_other = work(); });
  const int bad_here = work();
  other.join();
  EXPECT_EQ(bad_here, 0);
  EXPECT_EQ(bad_other, 0);
}

}  // namespace
