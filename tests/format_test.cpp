// Download file format and code page conversion.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "download/codepage.h"
#include "download/format.h"
#include "test_util.h"

namespace {

using namespace vantor::download;
using namespace std::string_literals;
using Bytes = std::vector<std::uint8_t>;
using vantor::test::Hex;

TEST(DownloadFormat, DecodeHexPairs) {
  std::vector<std::tuple<std::string, std::uint32_t, Bytes>> cases = {
      {"0A1b", 4, Hex("0A1B")}, {"ABC", 3, Hex("ABC0")}, {"G1;F", 4, Hex("71BF")},
      {"1234", 2, Hex("12")},   {"12", 0, {}},           {" 0\xFF\x80", 4, Hex("00F0")},
  };
  // Odd: NUL is the low digit; others: low bits; blank 0; 65535+ neither wraps nor overruns.
  for (std::uint32_t n : {65534u, 65535u, 65536u, 70001u}) {
    cases.push_back({std::string(n, '7'), n, Bytes((n + 1) / 2, 0x77)});
    if (n % 2) std::get<2>(cases.back()).back() = 0x70;
  }
  for (const auto& [text, n, expected] : cases) {
    Bytes out((n + 1) / 2 + 1, 0xEE);  // one guard byte past what may be written
    std::int32_t count = -1;
    DecodeHexPairs(text.c_str(), n, out.data(), &count);
    EXPECT_EQ(out.back(), 0xEE) << "wrote past (n + 1) / 2 bytes, n=" << n;
    ASSERT_EQ(count, static_cast<std::int32_t>(expected.size())) << n;
    out.resize(expected.size());
    EXPECT_EQ(out, expected) << '"' << text.substr(0, 8) << "\" n=" << n;
  }
}

TEST(DownloadFormat, CheckHexLine) {
  const auto check = [](const std::string& text) {
    return CheckHexLine(static_cast<std::uint32_t>(text.size()), text.data());
  };
  std::vector<std::string> bad = {"00\t11", "-1", "G0", "g0", "0;", "00\r", "0x00", "0"s + '\0'};
  for (int b = 0x80; b <= 0xFF; ++b) bad.push_back({'0', static_cast<char>(b), '0'});
  for (const auto& text : bad) EXPECT_EQ(check(text), 0) << '"' << text << '"';
  for (const auto& text : {"00 A4 04 00"s, "0123456789ABCDEFabcdef "s, ""s})
    EXPECT_EQ(check(text), 1) << '"' << text << '"';
  EXPECT_EQ(CheckHexLine(2, "12XX"), 1) << "only n characters are checked";
}

TEST(DownloadFormat, ParseHeaderLine) {
  const std::tuple<std::wstring, std::uint8_t, Bytes> cases[] = {
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
      {L";t=F1 producttype=22 productnum=33", 1, {0xF1, 0xC4, 0x5C}},
      {L";T=\u20AC\u00E9", 0, {0x09, 0x00, 0x00}},  // read from the ANSI form: 80 E9
  };
  vantor::test::ScopedEnv cp("VANTOR_CODEPAGE", "CP1252");
  for (const auto& [line, mode, expected] : cases) {
    std::uint8_t header[3] = {0xEE, 0xEE, 0xEE};
    EXPECT_EQ(ParseHeaderLine(line, header), mode) << std::string(line.begin(), line.end());
    EXPECT_EQ(Bytes(header, header + 3), expected) << std::string(line.begin(), line.end());
  }
}

// Each charset differs from the one before, so a cached charset fails. To
// ANSI a missing character is one '?'; from ANSI NUL ends, a stray byte stays.
// VANTOR_CODEPAGE chooses the iconv charset; Windows converts with its ANSI
// code page whatever the variable says, so there the rows of that code page
// (CP1252 under Wine) are the ones that hold.
TEST(DownloadCodepage, Conversions) {
  enum Way { kTo = 1, kFrom = 2, kBoth = 3 };
  const std::tuple<const char*, std::wstring, std::string, int> cases[] = {
      {"CP1252", L"00 A4\u00E9\u20AC", "00 A4\xE9\x80", kBoth},
      {"UTF-8", L"a\u00E9", "a\xC3\xA9", kBoth},
      {"CP1252", L"a\u0416\u0416z", "a??z", kTo},
      {"CP932", L"\u3042z", "\x82\xA0z", kBoth},
      {"CP1252", std::wstring(1, static_cast<wchar_t>(0xD800)), "?", kTo},
      {"CP1252", L"a\0b"s, "a\0b"s, kTo},
      {"NO-SUCH-CHARSET", L"a\u00E9", "a?", kTo},
      {"UTF-8", L"\u00FFz", "\xFFz", kFrom},
      {"CP1252", L"a\x01z", "a\x01z\0c"s, kFrom},
      {"UTF-7", L"caf\u00E9", "caf+AOk-", kBoth},  // ends inside a shifted run
      {"UTF-8", L"a\u00C3", "a\xC3", kFrom},       // incomplete at the end
      {"NO-SUCH-CHARSET", L"a\u00E9", "a\xE9", kFrom},
  };
  int checked = 0;
  for (const auto& [charset, text, ansi, way] : cases) {
#ifdef _WIN32
    if (charset != AnsiCharset()) continue;
#endif
    ++checked;
    vantor::test::ScopedEnv cp("VANTOR_CODEPAGE", charset);
    EXPECT_EQ(way & kTo ? ToAnsi(text) : ansi, ansi) << charset;
    EXPECT_EQ(way & kFrom ? FromAnsi(ansi.data(), ansi.size()) : text, text) << charset;
    EXPECT_EQ(FromAnsi(nullptr, 5), L"");
  }
  EXPECT_GE(checked, 5);
}

TEST(DownloadCodepage, ConcurrentConversions) {
  vantor::test::ScopedEnv cp("VANTOR_CODEPAGE", "CP1252");
  std::atomic<int> bad{0};
  auto work = [&bad] {
    for (int i = 0; i < 2000; ++i)
      bad += ToAnsi(L"x\u00E9\u0416") != "x\xE9?" || FromAnsi("\x80z", 2) != L"\u20ACz";
  };
  std::thread other(work);
  work();
  other.join();
  EXPECT_EQ(bad.load(), 0);
}

}  // namespace
