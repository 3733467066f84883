// Reading the download file as 8-bit text and loading its line table.
#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "download/loader.h"
#include "download/text_file.h"
#include "test_util.h"

namespace {

using namespace vantor::download;

// ASCII text as wide text.
std::wstring Widen(const std::string& bytes) { return std::wstring(bytes.begin(), bytes.end()); }

TEST(DownloadLoader, LoadLines) {
  struct Case {
    const char* name;
    std::string bytes;
    std::uint8_t mode;
    bool ok;
    LineTable table;       // lines stored (before the error, when there is one)
    std::uint32_t number;  // error number when !ok
  };
  const std::string hex521(521, 'A'), hex510(510, 'b');
  std::string pairs173 = "00";  // 518 characters, 173 bytes: blanks are not data
  for (int i = 0; i < 172; ++i) pairs173 += " 00";
  const Case cases[] = {
      {"trim, blank lines, upper-casing",
       ";Type=F1 ProductType=22 \r\n \xA0 00 a4\t\xA0\n\n \t\v\f\r\nreset\nReset\r\nRESET\r", 1,
       true,
       {{1, L";Type=F1 ProductType=22"}, {2, L"00 A4"}, {3, L"RESET"}, {4, L"RESET"},
        {5, L"RESET"}}, 0},
      {"comment kept as is", ";  mixed Case g\n", 0, true, {{1, L";  mixed Case g"}}, 0},
      {"long comment", ";" + std::string(600, 'x'), 0, true, {{1, L";" + std::wstring(600, L'x')}},
       0},
      {"0x1A ends the text", "00\n11\x1A" "GG\nGG\n", 0, true, {{1, L"00"}, {2, L"11"}}, 0},
      {"reset with data", "RESET 00\n", 0, false, {}, 0},
      {"tab between pairs", "00\t11\n", 0, false, {}, 0},
      {"CR inside a line", "00\r11\n", 0, false, {}, 0},
      {"NUL inside a line", std::string("00\0" "11\n", 6), 0, false, {}, 0},
      {"non-ASCII hex look-alike", "0\xC1\n", 0, false, {}, 0},
      {"error after header and blank", ";=F1\n\n00 11\nG0\n", 1, false,
       {{1, L";=F1"}, {2, L"00 11"}}, 2},
      {"error in second line", ";=F1\nG0\n", 1, false, {{1, L";=F1"}}, 1},
      {"error in first line", "G0\n00\n", 0, false, {}, 0},
      {"521 hex in mode 1", hex521, 1, true, {{1, Widen(hex521)}}, 0},
      {"522 hex in mode 1", hex521 + "0", 1, false, {}, 0},
      {"522 hex in mode 2", hex521 + "0", 2, false, {}, 0},
      {"521 hex in mode 0", hex521, 0, false, {}, 0},
      {"510 hex in mode 0", hex510, 0, true, {{1, std::wstring(510, L'B')}}, 0},
      {"511 hex in mode 0", hex510 + "b", 0, false, {}, 0},
      {"blanks are not data in mode 0", pairs173, 0, true, {{1, Widen(pairs173)}}, 0},
      {"c-apdu", "C-APDU 00 A4 04 00\nc-apdu 0a\n", 0, true,
       {{1, L"C-APDU 00 A4 04 00"}, {2, L"C-APDU 0A"}}, 0},
      {"c-apdu bad data", "C-APDU XYZ\n", 0, false, {}, 0},
      {"c-apdu too long", "C-APDU " + std::string(515, '0'), 1, false, {}, 0},
      {"c-apdu 255 bytes in mode 0", "C-APDU " + std::string(510, '1'), 0, true,
       {{1, L"C-APDU " + std::wstring(510, L'1')}}, 0},
      {"c-apdu 256 bytes in mode 0", "C-APDU" + std::string(512, '0'), 0, false, {}, 0},
  };
  vantor::test::ScopedEnv cp("VANTOR_CODEPAGE", "CP1252");
  for (const Case& c : cases) {
    TextFile file;
    ASSERT_TRUE(file.OpenMemory(c.bytes.data(), c.bytes.size()));
    LineTable table = {{99, L"stale"}};
    LineError error;
    error.number = 12345;
    EXPECT_EQ(LoadLines(file, c.mode, table, &error), c.ok) << c.name;
    EXPECT_EQ(table, c.table) << c.name;
    if (!c.ok) {
      EXPECT_EQ(error.number, c.number) << c.name;
    }
  }
}

TEST(DownloadLoader, ErrorTellsThePhysicalLineAndTheTextAsWritten) {
  vantor::test::ScopedEnv cp("VANTOR_CODEPAGE", "CP1252");
  vantor::test::TempDir dir;
  dir.Write("f.txt", ";h\n\n\n  00 zz \r\n00\n");
  TextFile file;
  ASSERT_TRUE(file.Open(dir.File("f.txt")));
  std::wstring first;
  ASSERT_TRUE(file.ReadString(first));  // the header is read first, then the whole file
  LineTable table;
  LineError error;
  ASSERT_FALSE(LoadLines(file, 1, table, &error));
  EXPECT_EQ(error.number, 1u);
  EXPECT_EQ(error.physicalLine, 4u);
  EXPECT_EQ(error.text, L"00 zz");
  // Loading again starts from the first line and needs no error target.
  EXPECT_FALSE(LoadLines(file, 1, table, nullptr));
  EXPECT_EQ(table.size(), 1u);
}

TEST(DownloadTextFile, LongLinesAcrossReadBuffers) {
  // A line longer than the read buffer, and a CR LF split across two reads.
  const std::string mb(1 << 20, '5'), edge(64 * 1024 - 1, '6');
  vantor::test::TempDir dir;
  dir.Write("f.txt", mb + "\n" + edge + "\r\nx\r");
  TextFile file;
  ASSERT_TRUE(file.Open(dir.File("f.txt")));
  std::vector<std::wstring> lines;
  for (std::wstring line; file.ReadString(line);) lines.push_back(line);
  EXPECT_EQ(lines, (std::vector<std::wstring>{Widen(mb), Widen(edge), L"x\r"}));
}

TEST(DownloadTextFile, ReadErrorIsNotEndOfText) {
  TextFile file;
  EXPECT_FALSE(file.Open(vantor::test::TempDir().path()));  // a folder is no text
  // Reading this process's memory at address 0 fails with an I/O error.
  if (!file.Open("/proc/self/mem")) GTEST_SKIP() << "no /proc/self/mem";
  std::wstring line;
  EXPECT_THROW(file.ReadString(line), std::runtime_error);
}

}  // namespace
