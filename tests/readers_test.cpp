// Several emulated readers through the library: the list in search order,
// its capacities and those of the error text, opening by path (free, held,
// unknown), and entries that name one state file twice.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "reader/readers.h"
#include "test_util.h"
#include "vantor/reader.h"

namespace vantor::test {
namespace {

constexpr char kSeparator = std::filesystem::path::preferred_separator == '/' ? ':' : ';';

// Readers c, a, b in that order, so the search order is not the name order.
class Readers : public ::testing::Test {
 protected:
  TempDir dir_;
  std::vector<std::string> paths_{dir_.File("c.json"), dir_.File("a.json"), dir_.File("b.json")};
  std::string list_ = paths_[0] + kSeparator + paths_[1] + kSeparator + paths_[2];
};

// What either function writes when it fits, nothing when it does not: the
// list (each reader once; empty entries name nothing) and a failure's text.
TEST_F(Readers, ListAndErrorTextCapacities) {
  const std::string sim = list_ + kSeparator + kSeparator + paths_[1] + kSeparator + dir_.path() +
                          "/./c.json" + kSeparator;
  ScopedEnv env("VANTOR_READER_SIM", sim.c_str());
  dir_.Write("b.json", "{");
  EXPECT_EQ(DllOpenReaderPath(paths_[2].c_str()), VANTOR_ERR_NO_READER);
  const std::string list = paths_[0] + '\0' + paths_[1] + '\0' + paths_[2] + '\0',
                    text =
                        "state file " + paths_[2] + ": is not valid JSON (error at byte 2)" + '\0';
  // Room beyond what is written (-99: none at all), and whether there is a buffer.
  for (const auto& [extra, given] :
       {std::pair{0, true}, {10, true}, {-1, true}, {-99, true}, {-99, false}}) {
    for (const std::string* want : {&list, &text}) {
      std::vector<char> buffer(want->size() + 16, '#');
      const std::size_t room = extra == -99 ? 0 : want->size() + extra;
      char* const b = given ? buffer.data() : nullptr;
      const int n =
          want == &list ? DllListReaders(b, unsigned(room)) : DllGetErrorText(b, int(room));
      EXPECT_EQ(n, extra < 0 ? VANTOR_ERR_LENGTH : want == &list ? 3 : int(want->size()) - 1);
      const std::string written = extra < 0 ? "" : *want;
      EXPECT_EQ(std::string(buffer.data(), buffer.size()),
                written + std::string(buffer.size() - written.size(), '#'))
          << extra << " " << *want;
    }
  }
  char none = '#';
  EXPECT_EQ(DllCloseReader(DllOpenReaderPath(paths_[0].c_str())), VANTOR_OK);
  EXPECT_EQ(DllGetErrorText(&none, 0) == 0 && none == '#', true) << "no text, no room: 0";
  EXPECT_EQ(DllGetErrorText(&none, 1) == 0 && none == '\0', true) << "no failure, no text";
  ScopedEnv empty("VANTOR_READER_SIM", (std::string(1, kSeparator)).c_str());
  EXPECT_EQ(DllListReaders(nullptr, 0), 0) << "no reader fits in no room";
}

// c is named twice but opened once; the lock files go with the last handle.
TEST_F(Readers, OpenByPath) {
  ScopedEnv env("VANTOR_READER_SIM", (list_ + kSeparator + paths_[0]).c_str());
  const int a = DllOpenReaderPath(paths_[1].c_str());
  ASSERT_GT(a, 0);
  for (const std::string& path :
       {paths_[1], dir_.File("d.json"), paths_[1].substr(0, paths_[1].size() - 1), std::string()}) {
    EXPECT_EQ(DllOpenReaderPath(path.c_str()),
              path == paths_[1] ? VANTOR_ERR_BUSY : VANTOR_ERR_NO_READER)
        << path;
  }
  EXPECT_EQ(DllOpenReaderPath(nullptr), VANTOR_ERR_NO_READER);
  // The first free reader in search order: c; with c held too, b.
  const int c = DllOpenReader(), b = DllOpenReader();
  EXPECT_EQ(DllOpenReader(), VANTOR_ERR_NO_READER) << "every reader is held";
  EXPECT_EQ(HeldReader(), paths_[0]);
  std::string leds;
  for (const auto& [handle, led] : {std::pair{c, 0xC1}, {a, 0xA1}, {b, 0xB1}}) {
    EXPECT_EQ(DllLedControl(handle, led), VANTOR_OK);
    EXPECT_EQ(DllCloseReader(handle), VANTOR_OK);
  }
  for (const auto& path : paths_) leds += nlohmann::json::parse(ReadFile(path))["led"].dump();
  EXPECT_EQ(leds, "[193][161][177]");  // 0xC1 on c, 0xA1 on a, 0xB1 on b
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()), {}), 3);
  const int again = DllOpenReaderPath(paths_[1].c_str());
  EXPECT_GT(again, 0) << "free again once closed";
  DllCloseReader(again);
}

}  // namespace
}  // namespace vantor::test
