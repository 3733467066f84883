// Several emulated readers through the library: the list in search order,
// its capacities and those of the error text, opening by path (free, held,
// unknown), and entries that name one state file twice.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "reader/readers.h"
#include "test_util.h"
#include "vantor/reader.h"

namespace vantor::test {
namespace {

#ifdef _WIN32
constexpr char kSeparator = ';';
#else
constexpr char kSeparator = ':';
#endif

class Readers : public ::testing::Test {
 protected:
  // Readers c, a, b in that order, so the search order is not the name order.
  Readers() {
    for (const char* name : {"c.json", "a.json", "b.json"}) {
      paths_.push_back(dir_.File(name));
      list_ += (list_.empty() ? "" : std::string(1, kSeparator)) + paths_.back();
    }
  }

  // The LED values the reader at path was sent, as its state file holds them.
  std::string Leds(const std::string& path) const {
    return nlohmann::json::parse(ReadFile(path))["led"].dump();
  }

  TempDir dir_;
  std::vector<std::string> paths_;
  std::string list_;
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
  EXPECT_EQ(DllGetErrorText(&none, 1) == 0 && none == '\0', true) << "no failure, no text";
  ScopedEnv empty("VANTOR_READER_SIM", (std::string(1, kSeparator)).c_str());
  EXPECT_EQ(DllListReaders(nullptr, 0), 0) << "no reader fits in no room";
}

// The same state file named twice is one reader: listed as a duplicate of
// the first name, opened once. The lock files go with the last handle.
TEST_F(Readers, OpenByPath) {
  const std::string sim = list_ + kSeparator + paths_[0];
  ScopedEnv env("VANTOR_READER_SIM", sim.c_str());
  EXPECT_EQ(ListReaders(false).at(3).duplicateOf, paths_[0]);
  const int a = DllOpenReaderPath(paths_[1].c_str());
  ASSERT_GT(a, 0);
  EXPECT_EQ(DllLedControl(a, 0xA1), VANTOR_OK);

  struct Case {
    const char* what;
    std::string path;
    int result;
  } cases[] = {
      {"held by an open handle", paths_[1], VANTOR_ERR_BUSY},
      {"not in the list", dir_.File("d.json"), VANTOR_ERR_NO_READER},
      {"a part of a listed path", paths_[1].substr(0, paths_[1].size() - 1), VANTOR_ERR_NO_READER},
      {"empty", "", VANTOR_ERR_NO_READER},
  };
  for (const auto& c : cases) EXPECT_EQ(DllOpenReaderPath(c.path.c_str()), c.result) << c.what;
  EXPECT_EQ(DllOpenReaderPath(nullptr), VANTOR_ERR_NO_READER);

  // The first free reader in search order: c; with c held too, b.
  const int c = DllOpenReader();
  ASSERT_GT(c, 0);
  EXPECT_EQ(DllLedControl(c, 0xC1), VANTOR_OK);
  const int b = DllOpenReader();
  ASSERT_GT(b, 0);
  EXPECT_EQ(DllLedControl(b, 0xB1), VANTOR_OK);
  EXPECT_EQ(DllOpenReader(), VANTOR_ERR_NO_READER) << "every reader is held";
  EXPECT_EQ(HeldReader(), paths_[0]);
  for (int handle : {a, b, c}) EXPECT_EQ(DllCloseReader(handle), VANTOR_OK);

  EXPECT_EQ(Leds(paths_[0]), "[193]");  // 0xC1
  EXPECT_EQ(Leds(paths_[1]), "[161]");  // 0xA1
  EXPECT_EQ(Leds(paths_[2]), "[177]");  // 0xB1
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()), {}), 3);

  const int again = DllOpenReaderPath(paths_[1].c_str());
  EXPECT_GT(again, 0) << "free again once closed";
  DllCloseReader(again);
}

}  // namespace
}  // namespace vantor::test
