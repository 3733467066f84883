// Reading the download file as 8-bit text and loading its line table.
#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

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
       ";Type=F1 ProductType=22 \r\n \xA0 00 a4\t\xA0\n\n \t\v\f\r\nreset\nReset\r\nRESET\r",
       1,
       true,
       {{1, L";Type=F1 ProductType=22"},
        {2, L"00 A4"},
        {3, L"RESET"},
        {4, L"RESET"},
        {5, L"RESET"}},
       0},
      {"comment kept as is", ";  mixed Case g\n", 0, true, {{1, L";  mixed Case g"}}, 0},
      {"long comment",
       ";" + std::string(600, 'x'),
       0,
       true,
       {{1, L";" + std::wstring(600, L'x')}},
       0},
      {"0x1A ends the text",
       "00\n11\x1A"
       "GG\nGG\n",
       0,
       true,
       {{1, L"00"}, {2, L"11"}},
       0},
      {"reset with data", "RESET 00\n", 0, false, {}, 0},
      {"tab between pairs", "00\t11\n", 0, false, {}, 0},
      {"CR inside a line", "00\r11\n", 0, false, {}, 0},
      {"NUL inside a line",
       std::string("00\0"
                   "11\n",
                   6),
       0,
       false,
       {},
       0},
      {"non-ASCII hex look-alike", "0\xC1\n", 0, false, {}, 0},
      {"error after header and blank",
       ";=F1\n\n00 11\nG0\n",
       1,
       false,
       {{1, L";=F1"}, {2, L"00 11"}},
       2},
      {"error in second line", ";=F1\nG0\n", 1, false, {{1, L";=F1"}}, 1},
      {"error in first line", "G0\n00\n", 0, false, {}, 0},
      {"521 hex in mode 1", hex521, 1, true, {{1, Widen(hex521)}}, 0},
      {"522 hex in mode 1", hex521 + "0", 1, false, {}, 0},
      {"522 hex in mode 2", hex521 + "0", 2, false, {}, 0},
      {"521 hex in mode 0", hex521, 0, false, {}, 0},
      {"510 hex in mode 0", hex510, 0, true, {{1, std::wstring(510, L'B')}}, 0},
      {"511 hex in mode 0", hex510 + "b", 0, false, {}, 0},
      {"blanks are not data in mode 0", pairs173, 0, true, {{1, Widen(pairs173)}}, 0},
      {"c-apdu",
       "C-APDU 00 A4 04 00\nc-apdu 0a\n",
       0,
       true,
       {{1, L"C-APDU 00 A4 04 00"}, {2, L"C-APDU 0A"}},
       0},
      {"c-apdu bad data", "C-APDU XYZ\n", 0, false, {}, 0},
      {"c-apdu in a firmware image", ";=F1\nC-APDU 00 A4\n", 1, false, {{1, L";=F1"}}, 1},
      {"c-apdu with nothing to send",
       ";=E0\nC-APDU 00 A4\n",
       2,
       true,
       {{1, L";=E0"}, {2, L"C-APDU 00 A4"}},
       0},
      {"c-apdu too long", "C-APDU " + std::string(515, '0'), 2, false, {}, 0},
      {"c-apdu 255 bytes in mode 0",
       "C-APDU " + std::string(510, '1'),
       0,
       true,
       {{1, L"C-APDU " + std::wstring(510, L'1')}},
       0},
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

TEST(DownloadTextFile, LongLinesAreCutAndTheirRestSkipped) {
  // Lines up to the limit whole (a CR LF split across two reads among
  // them), longer ones cut with their rest skipped, up to a 0x1A as well.
  const std::string filler(999, '1');
  std::string bytes;
  for (int i = 0; i < 65; ++i) bytes += filler + "\n";
  bytes += std::string(535, '2') + "\r\n";  // CR the last byte of the first read
  bytes += std::string(1 << 20, '5') + "\n" + std::string(kMaxHeldLine, '6') + "\r\n" +
           std::string(kMaxHeldLine + 1, '7') + "\r\nx\r\n" + std::string(2000, '8') + "\x1A" +
           "after the end\n";
  vantor::test::TempDir dir;
  dir.Write("f.txt", bytes);
  TextFile file;
  ASSERT_TRUE(file.Open(dir.File("f.txt")));
  std::vector<std::pair<std::wstring, bool>> lines;
  for (std::wstring line; file.ReadString(line);) lines.emplace_back(line, file.LineCut());
  ASSERT_EQ(lines.size(), 65u + 6u);
  EXPECT_EQ(lines[64], std::make_pair(Widen(filler), false));
  const std::vector<std::pair<std::wstring, bool>> tail(lines.begin() + 65, lines.end());
  EXPECT_EQ(tail,
            (std::vector<std::pair<std::wstring, bool>>{{std::wstring(535, L'2'), false},
                                                        {std::wstring(kMaxHeldLine, L'5'), true},
                                                        {std::wstring(kMaxHeldLine, L'6'), false},
                                                        {std::wstring(kMaxHeldLine, L'7'), true},
                                                        {L"x", false},
                                                        {std::wstring(kMaxHeldLine, L'8'), true}}));
  EXPECT_EQ(file.PhysicalLine(), 71u);
}

TEST(DownloadLoader, OverlongLineIsALineErrorWithoutReadingItAll) {
  vantor::test::ScopedEnv cp("VANTOR_CODEPAGE", "CP1252");
  struct Case {
    const char* name;
    std::string bytes;
    std::uint32_t number, physicalLine;
  } cases[] = {
      {"comment", ";h\n;" + std::string(kMaxHeldLine, 'c') + "\n00\n", 1, 2},
      {"blanks", "00\n\n" + std::string(kMaxHeldLine + 1, ' ') + "\n00\n", 1, 3},
      {"hex", std::string(5000, '0'), 0, 1},
  };
  for (const Case& c : cases) {
    TextFile file;
    ASSERT_TRUE(file.OpenMemory(c.bytes.data(), c.bytes.size()));
    LineTable table;
    LineError error;
    EXPECT_FALSE(LoadLines(file, 1, table, &error)) << c.name;
    EXPECT_EQ(error.number, c.number) << c.name;
    EXPECT_EQ(error.physicalLine, c.physicalLine) << c.name;
    EXPECT_LE(error.text.size(), kMaxHeldLine) << c.name;
  }
#ifndef _WIN32
  // An endless line without a break: the error comes at once.
  TextFile zero;
  ASSERT_TRUE(zero.Open("/dev/zero"));
  LineTable table;
  LineError error;
  EXPECT_FALSE(LoadLines(zero, 0, table, &error));
  EXPECT_EQ(error.physicalLine, 1u);
  EXPECT_EQ(error.text, std::wstring(kMaxHeldLine, L'\0'));
#endif
}

TEST(DownloadTextFile, ReadErrorIsNotEndOfText) {
  TextFile file;
  EXPECT_FALSE(file.Open(vantor::test::TempDir().path()));  // a folder is no text
  // Reading this process's memory at address 0 fails with an I/O error.
  if (!file.Open("/proc/self/mem")) GTEST_SKIP() << "no /proc/self/mem";
  std::wstring line;
  EXPECT_THROW(file.ReadString(line), std::runtime_error);
}

#ifdef _WIN32
// While the download file is open nobody may write it; readers may, and a
// file another program holds open for writing does not open.
TEST(DownloadTextFile, WritersAreShutOutWhileOpen) {
  vantor::test::TempDir dir;
  dir.Write("f.bin", "00\n");
  const std::string path = dir.File("f.bin");
  const std::wstring wide(path.begin(), path.end());
  auto openFor = [&](DWORD access) {
    return CreateFileW(wide.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  };
  {
    TextFile file;
    ASSERT_TRUE(file.Open(path));
    HANDLE reader = openFor(GENERIC_READ);
    EXPECT_NE(reader, INVALID_HANDLE_VALUE);
    CloseHandle(reader);
    HANDLE writer = openFor(GENERIC_WRITE);
    EXPECT_EQ(writer, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
  }
  HANDLE writer = openFor(GENERIC_WRITE);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  TextFile file;
  EXPECT_FALSE(file.Open(path));
  EXPECT_NE(file.OpenError(), 0);
  CloseHandle(writer);
  EXPECT_TRUE(file.Open(path));
}
#endif

}  // namespace
