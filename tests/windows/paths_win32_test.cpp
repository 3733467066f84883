// Paths on Windows: UTF-8 between the window's wide strings and the file
// functions (_wfopen), so that no file name is lost, shown by a whole
// download from a folder whose name is not ASCII.
#include <windows.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <string>

#include "download/codepage.h"
#include "scripted_host.h"
#include "test_util.h"
#include "ui/VantorToolDlg.h"
#include "ui/local_path.h"

namespace vantor::test {
namespace {

std::wstring Wide(const std::string& utf8) { return FromLocalPath(utf8); }

TEST(Win32Paths, Utf8BothWays) {
  struct Case {
    std::wstring wide;
    std::string utf8;
  } cases[] = {
      {L"", ""},
      {L"C:\\scripts\\a.bin", "C:\\scripts\\a.bin"},
      {L"Z\u00FCrich", "Z\xC3\xBCrich"},
      {L"\u0434\u0430\u043D\u043D\u044B\u0435", "\xD0\xB4\xD0\xB0\xD0\xBD\xD0\xBD\xD1\x8B\xD0\xB5"},
      {L"\u65E5\u672C", "\xE6\x97\xA5\xE6\x9C\xAC"},
      {L"\U0001F600.bin", "\xF0\x9F\x98\x80.bin"},  // a surrogate pair
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ToLocalPath(c.wide), c.utf8);
    EXPECT_EQ(FromLocalPath(c.utf8), c.wide);
  }
  // Bytes that are not UTF-8 stand for themselves.
  EXPECT_EQ(FromLocalPath("a\xFF\xE9"), L"a\u00FF\u00E9");
}

TEST(Win32Paths, DownloadStoresTheNameAfterTheLastSeparator) {
  TempDir dir;
  const std::wstring folder = Wide(dir.path()) + L"\\Donn\u00E9es";
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  const std::wstring fileName = L"d\u00E9mo.bin";
  FILE* f = _wfopen((folder + L"\\" + fileName).c_str(), L"wb");
  ASSERT_NE(f, nullptr);
  std::fputs(";offline script\r\n00 A4 04 00\r\nRESET\r\n", f);
  std::fclose(f);

  ScopedEnv sim("VANTOR_READER_SIM", dir.File("state.json").c_str());
  const std::string expectedName = download::ToAnsi(fileName);
  struct Case {
    const char* what;
    std::wstring path;
  } cases[] = {
      {"backslashes", folder + L"\\" + fileName},
      {"forward slashes", Wide(dir.path()) + L"/Donn\u00E9es/" + fileName},
  };
  for (const auto& c : cases) {
    ScriptedHost host;
    CVantorToolDlg dlg(host);
    dlg.OnInitDialog();
    host.pathField = c.path;
    dlg.OnDownload();
    host.RunWorker();
    EXPECT_EQ(dlg.LastOutcome(), Outcome::kSuccess) << c.what;
    EXPECT_EQ(host.pane, fileName + L"\r\n\r\nDownload SUCCESS!\r\n") << c.what;
    EXPECT_EQ(dlg.ReaderHandle(), 0) << c.what;
    const auto state = nlohmann::json::parse(ReadFile(dir.File("state.json")));
    EXPECT_EQ(state["offline_file_name"],
              ToHex(reinterpret_cast<const std::uint8_t*>(expectedName.data()), expectedName.size()))
        << c.what;
    EXPECT_EQ(state["offline_records"].size(), 4u) << c.what;
  }
}

}  // namespace
}  // namespace vantor::test
