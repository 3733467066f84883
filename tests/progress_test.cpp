// The command line's progress: the forms it takes for one reader and for
// several, on a terminal and off it.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

#include "cli/progress.h"

namespace vantor::test {
namespace {

TEST(Progress, FormsByReadersAndTerminal) {
  // Readers, batch, terminal, its rows; what the output holds after 5 %, 15 %, then the end.
  for (const auto& [readers, batch, terminal, rows, shows] :
       {std::tuple<std::size_t, bool, bool, int, std::string>{1, false, false, 0, "5%\n15%\n"},
        {1, false, true, 25, "\r[##......................................]   5%\r[######"},
        {2, true, false, 0, "r0  10%\nr0  done\n"},
        {2, true, true, 25,
         "\x1b[2A\r\x1b[2Kr0  [####" + std::string(26, '.') + "]  15%  Loading..."},
        {16, true, true, 5, "r0  10%\nr0  done\n"}}) {  // a live board would climb off the screen
    std::vector<std::string> paths;
    for (std::size_t i = 0; i < readers; ++i) paths.push_back("r" + std::to_string(i));
    std::FILE* out = std::tmpfile();
    cli::Progress progress(paths, batch, terminal, rows, out);
    for (int percent : {5, 15}) progress.Update(0, percent);
    progress.Ended(0, "done");
    progress.Finish();
    std::string text(4096, '\0');
    std::rewind(out);
    text.resize(std::fread(&text[0], 1, text.size(), out));
    std::fclose(out);
    EXPECT_NE(text.find(shows), std::string::npos) << readers << " " << rows << "\n" << text;
    const bool live = batch && terminal && rows > static_cast<int>(readers);
    EXPECT_EQ(text.find('\x1b') != std::string::npos, live) << text;
  }
}

}  // namespace
}  // namespace vantor::test
