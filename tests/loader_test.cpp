// Reading the download file as 8-bit text and loading its line table.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "download/format.h"
#include "test_util.h"
#include "download/loader.h"
#include "download/text_file.h"

namespace {

using namespace vantor::download;
namespace fs = std::filesystem;

// A file holding the given bytes, removed at the end of the test.
class TempFile {
 public:
  explicit TempFile(const std::string& bytes) {
    static int serial = 0;
    path_ = (fs::temp_directory_path() /
             ("vantor_dl_" + std::to_string(getpid()) + "_" + std::to_string(serial++) + ".txt"))
                .string();
    std::FILE* f = std::fopen(path_.c_str(), "wb");
    if (f == nullptr) throw std::runtime_error("cannot create " + path_);
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
  ~TempFile() { std::remove(path_.c_str()); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

std::vector<std::wstring> ReadAll(TextFile& file) {
  std::vector<std::wstring> lines;
  std::wstring line;
  while (file.ReadString(line)) lines.push_back(line);
  EXPECT_TRUE(line.empty()) << "end of text leaves the line empty";
  return lines;
}

std::wstring Widen(const std::string& bytes) {
  std::wstring out;
  for (char c : bytes) out.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
  return out;
}

TEST(DownloadTextFile, SplitsLines) {
  struct Case {
    std::string bytes;
    std::vector<std::wstring> lines;
  };
  const Case cases[] = {
      {"", {}},
      {"a", {L"a"}},
      {"a\nb", {L"a", L"b"}},
      {"a\r\nb\r\n", {L"a", L"b"}},
      {"a\n\n", {L"a", L""}},
      {"\n", {L""}},
      {"a\rb\n", {L"a\rb"}},      // a CR not before LF is an ordinary character
      {"a\r\r\n", {L"a\r"}},      // only the CR right before LF goes
      {"a\r", {L"a\r"}},
      {"a\x1A\nb", {L"a"}},       // 0x1A ends the text
      {"a\nb\x1A", {L"a", L"b"}},
      {"\x1A" "abc\n", {}},
      {"a\n\x1A", {L"a"}},
      {std::string("\xE9\0x\xFF\n", 5), {std::wstring(L"\x00E9\0x\x00FF", 4)}},
      {"\xEF\xBB\xBF;h", {L"\x00EF\x00BB\x00BF;h"}},  // no BOM handling
  };
  for (const Case& c : cases) {
    TempFile tmp(c.bytes);
    TextFile file;
    ASSERT_TRUE(file.Open(tmp.path()));
    EXPECT_EQ(ReadAll(file), c.lines) << "file: " << c.bytes;
    EXPECT_EQ(file.PhysicalLine(), c.lines.size());

    TextFile memory;
    ASSERT_TRUE(memory.OpenMemory(c.bytes.data(), c.bytes.size()));
    EXPECT_EQ(ReadAll(memory), c.lines) << "memory: " << c.bytes;
  }
}

TEST(DownloadTextFile, LongLinesAndBufferEdges) {
  // Lines longer than the read buffer, and a CR LF split across two reads.
  const std::string mb(1 << 20, '5');
  const std::string edge(64 * 1024 - 1, '6');
  const std::string bytes = mb + "\n" + edge + "\r\nx\r";
  TempFile tmp(bytes);
  TextFile file;
  ASSERT_TRUE(file.Open(tmp.path()));
  const std::vector<std::wstring> expected = {Widen(mb), Widen(edge), L"x\r"};
  EXPECT_EQ(ReadAll(file), expected);
}

TEST(DownloadTextFile, SeekToBeginAndPhysicalLine) {
  TempFile tmp("one\n\ntwo\n");
  TextFile file;
  ASSERT_TRUE(file.Open(tmp.path()));
  std::wstring line;
  ASSERT_TRUE(file.ReadString(line));
  ASSERT_TRUE(file.ReadString(line));
  ASSERT_TRUE(file.ReadString(line));
  EXPECT_EQ(line, L"two");
  EXPECT_EQ(file.PhysicalLine(), 3u);
  EXPECT_FALSE(file.ReadString(line));
  EXPECT_FALSE(file.ReadString(line));

  file.SeekToBegin();
  EXPECT_EQ(file.PhysicalLine(), 0u);
  ASSERT_TRUE(file.ReadString(line));
  EXPECT_EQ(line, L"one");
  EXPECT_EQ(file.PhysicalLine(), 1u);
}

TEST(DownloadTextFile, OpenFailures) {
  TextFile file;
  EXPECT_FALSE(file.Open((fs::temp_directory_path() / "vantor_dl_missing_file.txt").string()));
  EXPECT_FALSE(file.Open(fs::temp_directory_path().string()));  // a directory
  std::wstring line = L"stale";
  EXPECT_FALSE(file.ReadString(line));
  EXPECT_TRUE(line.empty());
}

TEST(DownloadTextFile, ReadErrorIsNotEndOfText) {
  // Reading this process's memory at address 0 fails with an I/O error.
  TextFile file;
  if (!file.Open("/proc/self/mem")) GTEST_SKIP() << "no /proc/self/mem";
  std::wstring line;
  EXPECT_THROW(file.ReadString(line), std::runtime_error);
}

struct LoadCase {
  const char* name;
  std::string bytes;
  std::uint8_t mode;
  bool ok;
  LineTable table;        // lines stored (before the error, when there is one)
  std::uint32_t number;   // error number when !ok
};

std::string Repeat(const std::string& piece, std::size_t count) {
  std::string out;
  for (std::size_t i = 0; i < count; ++i) out += piece;
  return out;
}

TEST(DownloadLoader, LoadLines) {
  const std::string hex521 = std::string(521, 'A');
  const std::string hex510 = std::string(510, 'b');
  const LoadCase cases[] = {
      {"mixed file",
       ";Type=F1 ProductType=22 ProductNum=33 \r\n  00 a4 04 00\t\n\n \t \t\r\nreset\n", 1, true,
       {{1, L";Type=F1 ProductType=22 ProductNum=33"}, {2, L"00 A4 04 00"}, {3, L"RESET"}}, 0},
      {"empty file", "", 0, true, {}, 0},
      {"only blank lines", "\n \n\t\r\n", 0, true, {}, 0},
      {"reset spellings", "reset\nReset\r\nRESET", 0, true,
       {{1, L"RESET"}, {2, L"RESET"}, {3, L"RESET"}}, 0},
      {"comment kept as is", ";  mixed Case g\n", 0, true, {{1, L";  mixed Case g"}}, 0},
      {"no-break spaces trimmed", "\xA0" "0a\xA0\n", 0, true, {{1, L"0A"}}, 0},
      {"reset with data", "RESET 00\n", 0, false, {}, 0},
      {"tab between pairs", "00\t11\n", 0, false, {}, 0},
      {"G after header", ";=F1\n\n00 11\nG0\n", 1, false, {{1, L";=F1"}, {2, L"00 11"}}, 2},
      {"G in second line", ";=F1\nG0\n", 1, false, {{1, L";=F1"}}, 1},
      {"G in first line", "G0\n", 0, false, {}, 0},
      {"UTF-8 BOM", "\xEF\xBB\xBF;h\n00\n", 0, false, {}, 0},
      {"end of text byte", "00\n\x1A" "GG\n", 0, true, {{1, L"00"}}, 0},
      {"CR inside a line", "00\r11\n", 0, false, {}, 0},
      {"NUL inside a line", std::string("00\0" "11\n", 6), 0, false, {}, 0},
      {"non-ASCII hex look-alike", "0\xC1\n", 0, false, {}, 0},
      {"521 hex in mode 1", hex521 + "\n", 1, true, {{1, std::wstring(521, L'A')}}, 0},
      {"522 hex in mode 1", hex521 + "0\n", 1, false, {}, 0},
      {"522 hex in mode 2", hex521 + "0\n", 2, false, {}, 0},
      {"521 hex in mode 0", hex521 + "\n", 0, false, {}, 0},
      {"510 hex in mode 0", hex510 + "\n", 0, true, {{1, std::wstring(510, L'B')}}, 0},
      {"511 hex in mode 0", hex510 + "b\n", 0, false, {}, 0},
      // 518 characters but 173 bytes: blanks are not data.
      {"blanks do not count as data in mode 0", "00" + Repeat(" 00", 172) + "\n", 0, true,
       {{1, L"00" + Widen(Repeat(" 00", 172))}}, 0},
      {"long comment", ";" + std::string(600, 'x') + "\n", 0, true,
       {{1, L";" + std::wstring(600, L'x')}}, 0},
      {"c-apdu", "C-APDU 00 A4 04 00\nc-apdu 0a\n", 0, true,
       {{1, L"C-APDU 00 A4 04 00"}, {2, L"C-APDU 0A"}}, 0},
      {"c-apdu bad data", "C-APDU XYZ\n", 0, false, {}, 0},
      {"c-apdu too long", "C-APDU " + std::string(515, '0') + "\n", 1, false, {}, 0},
      {"c-apdu too many bytes in mode 0", "C-APDU" + std::string(512, '0') + "\n", 0, false, {},
       0},
      {"c-apdu 255 bytes in mode 0", "C-APDU " + std::string(510, '1') + "\n", 0, true,
       {{1, L"C-APDU " + std::wstring(510, L'1')}}, 0},
  };
  vantor::test::ScopedEnv cp("VANTOR_CODEPAGE", "CP1252");
  for (const LoadCase& c : cases) {
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

TEST(DownloadLoader, ErrorReportsWhereAndWhat) {
  vantor::test::ScopedEnv cp("VANTOR_CODEPAGE", "CP1252");
  TempFile tmp(";h\n\n\n  00 zz \r\n00\n");
  TextFile file;
  ASSERT_TRUE(file.Open(tmp.path()));
  std::wstring first;
  ASSERT_TRUE(file.ReadString(first));  // the header is read first, then the whole file
  LineTable table;
  LineError error;
  ASSERT_FALSE(LoadLines(file, 1, table, &error));
  EXPECT_EQ(error.number, 1u);
  EXPECT_EQ(error.physicalLine, 4u);
  EXPECT_EQ(error.text, L"00 zz");
  EXPECT_EQ(LineErrorMessage(error.number), L"File 1 Line Error,Please Check!");
  EXPECT_EQ(LineErrorMessage(0), L"File 0 Line Error,Please Check!");
  EXPECT_EQ(LineErrorMessage(4294967295u), L"File 4294967295 Line Error,Please Check!");

  // Loading again starts from the first line and needs no error target.
  EXPECT_FALSE(LoadLines(file, 1, table, nullptr));
  EXPECT_EQ(table.size(), 1u);
}

}  // namespace
