// The download history on Windows: its default place, appends from several
// threads through handles opened for appending only under LockFileEx (the
// file and its folder made by the first record), a folder as the file, and
// SHA-256 through BCrypt.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "history/appender.h"
#include "history/sha256.h"
#include "test_util.h"

namespace vantor::test {
namespace {

TEST(HistoryWin32, PlaceAppendsAndHash) {
  ScopedEnv history("VANTOR_HISTORY", nullptr), local("LOCALAPPDATA", "C:\\Users\\op\\Local\\");
  EXPECT_EQ(history::Locate(false, false).file + history::Locate(false, true).file,
            "C:\\Users\\op\\Local\\VantorTool\\history.jsonl");  // none for the window
  TempDir dir;
  history::Place place{dir.File("new\\history.jsonl"), false, ""};
  history::Appender shared, other;
  std::string error;
  ASSERT_TRUE(shared.Open(place, &error) && other.Open(place, &error)) << error;
  EXPECT_FALSE(std::filesystem::exists(dir.File("new")));  // made by the first record
  ASSERT_TRUE(shared.Append("{}", &error)) << error;
  dir.Write("new\\history.jsonl", "{\"torn");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i) {
        const std::string record = "{\"ti\":" + std::to_string(t * 100 + i) + ",\"pad\":\"" +
                                   std::string(3000, 'x') + "\"}";
        EXPECT_TRUE((t < 3 ? shared : other).Append(record, nullptr, i == 0));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  std::istringstream lines(ReadFile(place.file));
  std::string line;
  std::getline(lines, line);
  EXPECT_EQ(line, "{\"torn");
  std::set<std::string> seen;  // nlohmann throws on a line that is not JSON
  while (std::getline(lines, line)) seen.insert(nlohmann::json::parse(line)["ti"].dump());
  EXPECT_EQ(seen.size(), 200u);

  place.file = dir.path();
  EXPECT_FALSE(other.Open(place, &error));
  EXPECT_EQ(error.rfind("cannot write the download history " + dir.path() + ": ", 0), 0u) << error;

  history::Sha256 sha256;
  sha256.Update("ab", 2);
  sha256.Update("c", 1);
  EXPECT_EQ(std::to_string(sha256.size()) + " " + sha256.Final(),
            "3 ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

}  // namespace
}  // namespace vantor::test
