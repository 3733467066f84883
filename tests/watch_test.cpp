// Emulated readers in a folder: what is listed, and the watch that reports
// them plugged in and unplugged as their files come and go.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "reader/watch.h"
#include "test_util.h"
#include "vantor/reader.h"

namespace vantor::test {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> Listed() {
  std::vector<char> buffer(4096);
  const int n = DllListReaders(buffer.data(), unsigned(buffer.size()));
  std::vector<std::string> paths;
  for (const char* p = buffer.data(); int(paths.size()) < n; p += paths.back().size() + 1) {
    paths.emplace_back(p);
  }
  return paths;
}

// "+path" attached, "-path" detached, with the folder's path left out.
std::string Plugs(const std::vector<PlugEvent>& events, const std::string& folder) {
  std::string shown;
  for (const auto& event : events) {
    std::string path = event.path;
    if (path.rfind(folder + "/", 0) == 0) path.erase(0, folder.size() + 1);
    shown += (shown.empty() ? "" : " ") +
             std::string(event.kind == PlugEvent::Kind::kAttached ? "+" : "-") + path;
  }
  return shown;
}

class Watch : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directory(folder_); }

  // Writes the file sentinel into the folder and waits (at most 10 s) until
  // the watch reports it attached; *events gets what it reported before.
  // Each wait is longer than a step may take: a watch that sits out its
  // time-out is too slow.
  bool Until(ReaderWatch& watch, const std::string& sentinel, std::vector<PlugEvent>* events,
             std::string* error) {
    dir_.Write("r/" + sentinel, "{}");
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < end) {
      if (!watch.Wait(3000, events, error)) return false;
      if (!events->empty() && events->back().path == folder_ + "/" + sentinel) {
        events->pop_back();
        return true;
      }
    }
    *error = "no " + sentinel;
    return false;
  }
  std::string Until(ReaderWatch& watch, const std::string& sentinel) {
    std::vector<PlugEvent> events;
    std::string error;
    Until(watch, sentinel, &events, &error);
    return Plugs(events, folder_) + error;
  }

  TempDir dir_;
  std::string folder_ = dir_.File("r");
};

// A folder's readers are its regular *.json files (and links to them),
// by name; not what the emulator keeps beside them, nor hidden files,
// folders, links that lead nowhere or in a loop. Entries before and after
// it keep their places; a link to a listed file is that reader.
TEST_F(Watch, FolderListedInNameOrder) {
  for (const char* name :
       {"b.json", "a.json", "a.json.lock", "a.json.tmp123", "notes.txt", ".hidden.json", "json"}) {
    dir_.Write(std::string("r/") + name, "{}");
  }
  fs::create_directory(dir_.File("r/sub.json"));
  dir_.Write("r/sub.json/c.json", "{}");
  fs::create_symlink("a.json", dir_.File("r/same.json"));
  fs::create_symlink("loop.json", dir_.File("r/loop.json"));
  fs::create_symlink("none", dir_.File("r/dangling.json"));
  const std::string sim = dir_.File("x.json") + ":" + folder_ + ":" + dir_.File("y.json");
  ScopedEnv env("VANTOR_READER_SIM", sim.c_str());
  EXPECT_EQ(Listed(), (std::vector<std::string>{dir_.File("x.json"), folder_ + "/a.json",
                                                folder_ + "/b.json", dir_.File("y.json")}));
  const int b = DllOpenReaderPath((folder_ + "/b.json").c_str());
  EXPECT_GT(b, 0);
  EXPECT_EQ(DllCloseReader(b), VANTOR_OK);
  EXPECT_EQ(DllOpenReaderPath((folder_ + "/a.json.tmp123").c_str()), VANTOR_ERR_NO_READER);
  EXPECT_EQ(DllOpenReaderPath(folder_.c_str()), VANTOR_ERR_NO_READER);
}

// Each change to the folder as the watch reports it; a state file written
// back by the emulator (lock file, temp file, rename) is no plug.
TEST_F(Watch, PlugsThroughTheFolder) {
  dir_.Write("r/a.json", "{}");
  const std::string sim = dir_.File("x.json") + ":" + folder_ + ":" + dir_.File("x.json");
  ScopedEnv env("VANTOR_READER_SIM", sim.c_str());
  std::string error;
  auto watch = WatchReaders(&error);
  ASSERT_TRUE(watch) << error;
  std::vector<PlugEvent> start;
  ASSERT_TRUE(watch->Wait(0, &start, &error));
  EXPECT_EQ(Plugs(start, folder_), "+" + dir_.File("x.json") + " +a.json") << "each reader once";
  const auto before = std::chrono::steady_clock::now();
  start.clear();
  EXPECT_TRUE(watch->Wait(60, &start, &error));
  const auto quiet = std::chrono::steady_clock::now() - before;
  EXPECT_TRUE(start.empty() && quiet >= std::chrono::milliseconds(60) &&
              quiet < std::chrono::milliseconds(2000))
      << "nothing happens: back after the time-out " << Plugs(start, folder_) << " "
      << std::chrono::duration_cast<std::chrono::milliseconds>(quiet).count();

  const auto move = [&](const std::string& from, const std::string& to) {
    fs::rename(dir_.File(from), dir_.File(to));
  };
  int held = 0;
  std::FILE* half = nullptr;
  const struct {
    std::function<void()> change;
    std::string seen;
  } steps[] = {
      {[&] { dir_.Write("r/b.json", "{}"); }, "+b.json"},
      {[&] {
         const int a = DllOpenReaderPath((folder_ + "/a.json").c_str());
         DllLedControl(a, 1);
         DllCloseReader(a);
         EXPECT_EQ(nlohmann::json::parse(ReadFile(folder_ + "/a.json"))["led"].dump(), "[1]");
       },
       ""},
      {[&] { move("r/b.json", "r/c.json"); }, "-b.json +c.json"},
      {[&] { move("r/c.json", "out.json"); }, "-c.json"},
      {[&] { move("out.json", "r/d.json"); }, "+d.json"},
      {[&] {
         fs::create_directory(dir_.File("r/e.json"));
         dir_.Write("r/notes.txt", "");
         dir_.Write("r/.f.json", "");
       },
       ""},
      {[&] { fs::remove(dir_.File("r/d.json")); }, "-d.json"},
      // Made and still being written: plugged in when its writer closes it.
      {[&] { half = std::fopen(dir_.File("r/g.json").c_str(), "w"); }, ""},
      {[&] { std::fputs("{}", half), std::fclose(half); }, "+g.json"},
      // Pulled while open: the emulator's last write does not plug it back.
      {[&] {
         held = DllOpenReaderPath((folder_ + "/a.json").c_str());
         fs::remove(dir_.File("r/a.json"));
       },
       "-a.json"},
      {[&] { EXPECT_EQ(DllCloseReader(held), VANTOR_OK); }, ""},
      {[&] { dir_.Write("r/a.json", "{}"); }, "+a.json"},
  };
  int n = 0;
  for (const auto& step : steps) {
    const auto at = std::chrono::steady_clock::now();
    step.change();
    EXPECT_EQ(Until(*watch, "z" + std::to_string(n++) + ".json"), step.seen) << n;
    EXPECT_LT(std::chrono::steady_clock::now() - at, std::chrono::milliseconds(2000)) << n;
  }

  fs::remove_all(folder_);
  std::vector<PlugEvent> last;
  EXPECT_FALSE(watch->Wait(2000, &last, &error));
  EXPECT_EQ(error, "folder " + folder_ + ": it was deleted");
  EXPECT_FALSE(watch->Wait(0, &last, &error)) << "and stays ended";
}

// A folder flapping thousands of times: the watch's reports, replayed,
// never plug in a present reader or pull one that is not, and end with
// what the folder holds.
TEST_F(Watch, FlappingFolder) {
  ScopedEnv env("VANTOR_READER_SIM", folder_.c_str());
  std::string error;
  auto watch = WatchReaders(&error);
  ASSERT_TRUE(watch) << error;
  std::set<std::string> present;
  bool consistent = true;
  const auto replay = [&](const std::vector<PlugEvent>& events) {
    for (const auto& event : events) {
      consistent &= event.kind == PlugEvent::Kind::kAttached ? present.insert(event.path).second
                                                             : present.erase(event.path) == 1;
    }
  };
  std::vector<PlugEvent> events;
  for (int i = 0; i < 3000; ++i) {
    dir_.Write("r/f.json", "{}");
    dir_.Write("r/g" + std::to_string(i % 3) + ".json", "{}");
    fs::remove(dir_.File("r/f.json"));
    if (i % 2) fs::remove(dir_.File("r/g" + std::to_string(i % 3) + ".json"));
    if (i % 500 == 0) {  // some read while it flaps
      EXPECT_TRUE(watch->Wait(0, &events, &error)) << error;
      replay(events);
      events.clear();
    }
  }
  ASSERT_TRUE(Until(*watch, "end.json", &events, &error)) << error;
  replay(events);
  EXPECT_TRUE(consistent);
  std::set<std::string> held;
  for (const auto& entry : fs::directory_iterator(folder_)) {
    if (entry.path().filename() != "end.json") held.insert(entry.path().string());
  }
  EXPECT_EQ(present, held);
  EXPECT_EQ(held.size(), 1u) << "g1 stays (written last at i = 2998)";
}

}  // namespace
}  // namespace vantor::test
