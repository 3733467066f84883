// Download file format and code page conversion.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "download/codepage.h"
#include "download/format.h"
#include "test_util.h"

namespace {

using namespace vantor::download;
using Bytes = std::vector<std::uint8_t>;

TEST(DownloadFormat, DecodeHexPairs) {
  struct Case {
    std::string text;
    std::uint32_t n;
    Bytes expected;
  };
  std::vector<Case> cases = {
      {"0A1b", 4, {0x0A, 0x1B}},
      {"ABC", 3, {0xAB, 0xC0}},         // odd: the NUL after the text is the low digit
      {"G1;F", 4, {0x71, 0xBF}},        // other characters: the low bits of their code
      {" 0\xFF\x80", 4, {0x00, 0xF0}},  // a blank is 0; no sign trouble above 0x7F
      {"1234", 2, {0x12}},              // only n characters count
      {"12", 0, {}},
  };
  // 65535 and more characters: the loop must neither wrap nor overrun.
  for (std::uint32_t n : {65534u, 65535u, 65536u, 70001u}) {
    cases.push_back({std::string(n, '7'), n, Bytes((n + 1) / 2, 0x77)});
    if (n % 2) cases.back().expected.back() = 0x70;
  }
  for (const Case& c : cases) {
    Bytes out((c.n + 1) / 2 + 1, 0xEE);  // one guard byte past what may be written
    std::int32_t count = -1;
    DecodeHexPairs(c.text.c_str(), c.n, out.data(), &count);
    EXPECT_EQ(out.back(), 0xEE) << "wrote past (n + 1) / 2 bytes, n=" << c.n;
    ASSERT_EQ(count, static_cast<std::int32_t>(c.expected.size())) << c.n;
    out.resize(c.expected.size());
    EXPECT_EQ(out, c.expected) << '"' << c.text.substr(0, 8) << "\" n=" << c.n;
  }
}

TEST(DownloadFormat, CheckHexLine) {
  const std::pair<std::string, int> cases[] = {
      {"00 A4 04 00", 1},
      {"0123456789ABCDEFabcdef ", 1},
      {"", 1},
      {"00\t11", 0},
      {"-1", 0},
      {"G0", 0},
      {"g0", 0},
      {"0;", 0},
      {"00\r", 0},
      {"0x00", 0},
      {std::string("0\0"
                   "0",
                   3),
       0},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(CheckHexLine(static_cast<std::uint32_t>(text.size()), text.data()), expected)
        << '"' << text << '"';
  }
  for (int b = 0x80; b <= 0xFF; ++b) {
    const char text[] = {'0', static_cast<char>(b), '0'};
    EXPECT_EQ(CheckHexLine(3, text), 0) << b;
  }
  EXPECT_EQ(CheckHexLine(2, "12XX"), 1) << "only n characters are checked";
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
      {L" ;x=F1", 0, {0, 0, 0}},          // no ';' first: no header
      {L"", 0, {0, 0, 0}},
      // No '=': the type byte comes from position 0 (";" -> 0xB, ";a" -> BA).
      {L";", 0, {0xB0, 0x00, 0x00}},
      {L";abc", 0, {0xBA, 0x00, 0x00}},
      // Missing keys: product type from positions 11-12, number from 10-11.
      {L";=F1 abcdef0123456", 1, {0xF1, 0x01, 0xF0}},
      {L";ProductType=F2 ProductNum=01", 1, {0xF2, 0xF2, 0x01}},  // the first '=' is the key's
      {L";T=F1 ProductNum=7", 1, {0xF1, 0xC4, 0x70}},             // one character: digit * 16
      {L";T=F1 ProductNum=", 1, {0xF1, 0xC4, 0x00}},              // none: 0
      {L";T=F", 1, {0xF0, 0x00, 0x00}},
      {L";T=", 0, {0x00, 0x00, 0x00}},
      {L";t=F1 producttype=22 productnum=33", 1, {0xF1, 0xC4, 0x5C}},
      {L";T=\x20AC\x00E9", 0, {0x09, 0x00, 0x00}},  // read from the ANSI form: 80 E9
  };
  vantor::test::ScopedEnv cp("VANTOR_CODEPAGE", "CP1252");
  for (const Case& c : cases) {
    std::uint8_t header[3] = {0xEE, 0xEE, 0xEE};
    const std::string line(c.line.begin(), c.line.end());
    EXPECT_EQ(ParseHeaderLine(c.line, header), c.mode) << line;
    EXPECT_EQ(Bytes(header, header + 3), c.header) << line;
  }
}

// Each case in a charset other than the one before, so a conversion that
// keeps the first charset it saw fails too.
TEST(DownloadCodepage, ToAnsi) {
  struct Case {
    const char* charset;
    std::wstring text;
    std::string ansi;
    bool roundTrip;
  };
  const Case cases[] = {
      {"CP1252", L"00 A4\x00E9\x20AC", "00 A4\xE9\x80", true},
      {"UTF-8", L"a\x00E9", "a\xC3\xA9", true},
      {"CP1252",
       L"a\x0416\x0416"
       L"b",
       "a??b", false},  // one '?' per character
      {"CP932",
       L"\x3042"
       L"a",
       "\x82\xA0"
       "a",
       true},
      {"CP1252", std::wstring(1, static_cast<wchar_t>(0xD800)), "?", false},
      {"ISO-8859-1", L"\x00E9\x20AC", "\xE9?", false},
      {"CP1252", std::wstring(L"a\0b", 3), std::string("a\0b", 3), false},
      {"NO-SUCH-CHARSET", L"a\x00E9", "a?", false},
  };
  for (const Case& c : cases) {
    vantor::test::ScopedEnv cp("VANTOR_CODEPAGE", c.charset);
    EXPECT_EQ(ToAnsi(c.text), c.ansi) << c.charset;
    if (c.roundTrip) {
      EXPECT_EQ(FromAnsi(c.ansi.data(), c.ansi.size()), c.text) << c.charset;
    }
  }
}

TEST(DownloadCodepage, FromAnsi) {
  const std::tuple<const char*, std::string, std::wstring> cases[] = {
      {"CP1252", std::string("ab\0cd", 5), L"ab"},  // the text ends at NUL
      {"UTF-8",
       "\xFF"
       "a",
       L"\x00FF"
       L"a"},                          // an invalid byte stands for itself
      {"UTF-8", "a\xC3", L"a\x00C3"},  // incomplete at the end
      {"UTF-8", "\xC3(\xC3\xA9", L"\x00C3(\x00E9"},
      {"NO-SUCH-CHARSET", "a\xE9", L"a\x00E9"},
  };
  for (const auto& [charset, bytes, expected] : cases) {
    vantor::test::ScopedEnv cp("VANTOR_CODEPAGE", charset);
    EXPECT_EQ(FromAnsi(bytes.data(), bytes.size()), expected) << charset;
  }
  EXPECT_EQ(FromAnsi(nullptr, 5), L"");
}

TEST(DownloadCodepage, ConcurrentConversions) {
  vantor::test::ScopedEnv cp("VANTOR_CODEPAGE", "CP1252");
  int bad[2] = {0, 0};
  auto work = [&bad](int who) {
    for (int i = 0; i < 2000; ++i) {
      bad[who] += ToAnsi(L"x\x00E9\x0416") != "x\xE9?";
      bad[who] += FromAnsi("\x80z", 2) !=
                  L"\x20AC"
                  L"z";
    }
  };
  std::thread other(work, 1);
  work(0);
  other.join();
  EXPECT_EQ(bad[0] + bad[1], 0);
}

}  // namespace
