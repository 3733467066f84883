// Several emulated readers through the library: the list in search order,
// its capacities, and opening by path (free, held, unknown).
#include <gtest/gtest.h>

#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

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

TEST_F(Readers, ListCapacities) {
  // Empty entries (a doubled or trailing separator) name nothing.
  const std::string sim = list_ + kSeparator + kSeparator;
  ScopedEnv env("VANTOR_READER_SIM", sim.c_str());
  std::string all;
  for (const auto& p : paths_) all += p + '\0';

  struct Case {
    const char* what;
    std::size_t capacity;
    bool nullBuffer;
    int result;
  } cases[] = {
      {"exact size", all.size(), false, 3},
      {"room to spare", all.size() + 10, false, 3},
      {"one byte short", all.size() - 1, false, VANTOR_ERR_LENGTH},
      {"zero", 0, false, VANTOR_ERR_LENGTH},
      {"zero, no buffer", 0, true, VANTOR_ERR_LENGTH},
  };
  for (const auto& c : cases) {
    std::vector<char> buffer(all.size() + 16, '#');
    const int n =
        DllListReaders(c.nullBuffer ? nullptr : buffer.data(), static_cast<unsigned>(c.capacity));
    EXPECT_EQ(n, c.result) << c.what;
    if (n > 0) {
      EXPECT_EQ(std::string(buffer.data(), all.size()), all) << c.what;
      EXPECT_EQ(buffer[all.size()], '#') << c.what;
    } else {
      EXPECT_EQ(std::string(buffer.data(), buffer.size()), std::string(buffer.size(), '#'))
          << c.what << ": written although it did not fit";
    }
  }

  ScopedEnv none("VANTOR_READER_SIM", (std::string(1, kSeparator)).c_str());
  EXPECT_EQ(DllListReaders(nullptr, 0), 0) << "no reader fits in no room";
}

TEST_F(Readers, OpenByPath) {
  ScopedEnv env("VANTOR_READER_SIM", list_.c_str());
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
  for (int handle : {a, b, c}) EXPECT_EQ(DllCloseReader(handle), VANTOR_OK);

  EXPECT_EQ(Leds(paths_[0]), "[193]");  // 0xC1
  EXPECT_EQ(Leds(paths_[1]), "[161]");  // 0xA1
  EXPECT_EQ(Leds(paths_[2]), "[177]");  // 0xB1

  const int again = DllOpenReaderPath(paths_[1].c_str());
  EXPECT_GT(again, 0) << "free again once closed";
  DllCloseReader(again);
}

}  // namespace
}  // namespace vantor::test
