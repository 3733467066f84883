// Reading the download file as 8-bit text and loading its line table.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <tuple>

#ifdef _WIN32
#include <windows.h>
#endif

#include "download/loader.h"
#include "download/text_file.h"
#include "loader_cases.h"
#include "test_util.h"

namespace {

using namespace vantor::download;
using namespace std::string_literals;

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

// "number text|" per line stored, then "error number at physical line: text";
// after the header line, as the download reads. A reload gives the same.
std::string Load(TextFile& file, std::uint8_t mode) {
  std::wstring header;
  file.ReadString(header);
  LineTable table = {{99, L"stale"}}, again;
  LineError error;
  const bool ok = LoadLines(file, mode, table, &error);
  std::string out;
  for (const auto& [number, text] : table) out += std::to_string(number) + " " + Narrow(text) + "|";
  if (!ok) {
    out += "error " + std::to_string(error.number) + " at " + std::to_string(error.physicalLine) +
           ": " + Narrow(error.text);
  }
  EXPECT_EQ(LoadLines(file, mode, again, nullptr), ok);
  EXPECT_EQ(again, table);
  return out;
}

TEST(DownloadLoader, LoadLines) {
  const auto cases = vantor::test::LoaderCases();
  vantor::test::ScopedEnv cp("VANTOR_CODEPAGE", "CP1252");
  for (const auto& [bytes, mode, loaded] : cases) {
    TextFile file;
    ASSERT_TRUE(file.OpenMemory(bytes.data(), bytes.size()));
    EXPECT_EQ(Load(file, mode), loaded) << bytes.substr(0, 40);
  }
}

TEST(DownloadTextFile, LongLinesAreCutAndTheirRestSkipped) {
  // Lines past the limit are cut, their rest skipped (to a 0x1A too); a CR LF split across reads.
  const auto held = [](char c) { return std::string(kMaxHeldLine, c); };
  std::string bytes, lines, expected;
  for (int i = 0; i < 65; ++i) bytes += std::string(999, '1') + "\n";
  bytes += std::string(535, '2') + "\r\n";  // CR the last byte of the first read
  bytes += std::string(1 << 20, '5') + "\n" + held('6') + "\r\n" + held('7') + "7\r\nx\r\n" +
           std::string(2000, '8') + "\x1A" + "after the end\n";
  vantor::test::TempDir dir;
  dir.Write("f.txt", bytes);
  TextFile file;
  ASSERT_TRUE(file.Open(dir.File("f.txt")));
  for (std::wstring line; file.ReadString(line);)
    lines += Narrow(line) + (file.LineCut() ? "+|" : "|");
  for (int i = 0; i < 65; ++i) expected += std::string(999, '1') + "|";
  EXPECT_EQ(lines, expected + std::string(535, '2') + "|" + held('5') + "+|" + held('6') + "|" +
                       held('7') + "+|x|" + held('8') + "+|");
  EXPECT_EQ(file.PhysicalLine(), 71u);
}

// A folder does not open, an endless line is a line error, a read error no end.
TEST(DownloadTextFile, FilesThatAreNoText) {
  TextFile file;
  EXPECT_FALSE(file.Open(vantor::test::TempDir().path()));
#ifndef _WIN32
  ASSERT_TRUE(file.Open("/dev/zero"));
  EXPECT_EQ(Load(file, 0), "error 0 at 1: " + std::string(kMaxHeldLine, '\0'));
  if (!file.Open("/proc/self/mem")) GTEST_SKIP() << "no /proc/self/mem";
  std::wstring line;
  EXPECT_THROW(file.ReadString(line), std::runtime_error);
#endif
}

#ifdef _WIN32
// Writers are shut out while open; a file held open for writing does not
// open; a one-character name opens.
TEST(DownloadTextFile, WritersAreShutOutWhileOpen) {
  vantor::test::TempDir dir;
  dir.Write("f.bin", "00\n");
  const std::string path = dir.File("f.bin");
  const std::wstring wide(path.begin(), path.end());
  auto openFor = [&](DWORD access) {
    return CreateFileW(wide.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  };
  TextFile file;
  ASSERT_TRUE(file.Open(path));
  HANDLE reader = openFor(GENERIC_READ), writer = openFor(GENERIC_WRITE);
  EXPECT_NE(reader, INVALID_HANDLE_VALUE);
  EXPECT_EQ(writer, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  CloseHandle(reader);
  file.Close();
  writer = openFor(GENERIC_WRITE);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(file.Open(path));
  EXPECT_NE(file.OpenError(), 0);
  CloseHandle(writer);
  EXPECT_TRUE(file.Open(path));
  dir.Write("a", "00\n");
  wchar_t here[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, here);
  SetCurrentDirectoryA(dir.path().c_str());
  EXPECT_TRUE(file.Open("a"));
  file.Close();
  SetCurrentDirectoryW(here);
}
#endif

}  // namespace
