// The progress of downloads on stderr, safe to call from their threads.
// One reader: a bar redrawn in place on a terminal, otherwise a line per
// new percentage. Several (--all): on a terminal tall enough, one live line
// per reader; otherwise a line "PATH  40%" each time a reader passes a
// further 10 %, and "PATH  <result>" when it ends.
#pragma once

#include <cstddef>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace vantor::cli {

class Progress {
 public:
  // paths: the readers as shown; batch: the --all form; terminal: stderr
  // is a terminal with this many rows (0 when unknown).
  Progress(std::vector<std::string> paths, bool batch, bool terminal, int rows,
           std::FILE* out = stderr);

  // Reader i has reached percent.
  void Update(std::size_t i, int percent);
  // Reader i has ended with this result (the pane's last line).
  void Ended(std::size_t i, const std::string& result);
  // Ends a bar left on the screen, before other output follows.
  void Finish();

 private:
  std::string LiveLine(std::size_t i) const;
  void Redraw(std::size_t i);

  struct Row {
    std::string path;
    int percent = -1;
    int tenths = 0;
    bool ended = false;
    std::string result;
    std::string drawn;
  };
  std::mutex mutex_;
  std::vector<Row> rows_;
  bool batch_;
  bool live_;
  std::FILE* out_;
  std::size_t width_ = 0;
  bool barShown_ = false;
};

}  // namespace vantor::cli
