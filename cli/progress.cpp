#include "progress.h"

#include <algorithm>

namespace vantor::cli {
namespace {

std::string Bar(int percent, int width) {
  const int filled = std::clamp(percent, 0, 100) * width / 100;
  return std::string(static_cast<std::size_t>(filled), '#') +
         std::string(static_cast<std::size_t>(width - filled), '.');
}

}  // namespace

Progress::Progress(std::vector<std::string> paths, bool batch, bool terminal, int rows,
                   std::FILE* out)
    : batch_(batch), out_(out) {
  for (auto& path : paths) {
    width_ = std::max(width_, path.size());
    rows_.emplace_back();
    rows_.back().path = std::move(path);
  }
  // A live board needs a line per reader below the cursor's row.
  live_ = terminal && (!batch_ || static_cast<std::size_t>(rows) > rows_.size());
  if (live_ && batch_) {
    for (std::size_t i = 0; i < rows_.size(); ++i) {
      rows_[i].drawn = LiveLine(i);
      std::fprintf(out_, "%s\n", rows_[i].drawn.c_str());
    }
    std::fflush(out_);
  }
}

std::string Progress::LiveLine(std::size_t i) const {
  const Row& row = rows_[i];
  const int percent = std::max(row.percent, 0);
  char shown[16];
  std::snprintf(shown, sizeof shown, "] %3d%%  ", percent);
  std::string line = row.path;
  line.resize(std::max(width_, line.size()), ' ');
  return line + "  [" + Bar(percent, 30) + shown + (row.ended ? row.result : "Loading...");
}

void Progress::Redraw(std::size_t i) {
  std::string line = LiveLine(i);
  if (line == rows_[i].drawn) return;
  rows_[i].drawn = std::move(line);
  const std::size_t up = rows_.size() - i;
  std::fprintf(out_, "\x1b[%zuA\r\x1b[2K%s\x1b[%zuB\r", up, rows_[i].drawn.c_str(), up);
}

void Progress::Update(std::size_t i, int percent) {
  std::lock_guard<std::mutex> lock(mutex_);
  Row& row = rows_[i];
  if (percent == row.percent) return;
  row.percent = percent;
  if (!batch_ && live_) {
    std::fprintf(out_, "\r[%s] %3d%%", Bar(percent, 40).c_str(), percent);
    barShown_ = true;
  } else if (!batch_) {
    std::fprintf(out_, "%d%%\n", percent);
  } else if (live_) {
    Redraw(i);
  } else {
    const int tenths = percent / 10;
    if (tenths <= row.tenths) return;
    row.tenths = tenths;
    std::fprintf(out_, "%s  %d%%\n", row.path.c_str(), tenths * 10);
  }
  std::fflush(out_);
}

void Progress::Ended(std::size_t i, const std::string& result) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!batch_) return;
  rows_[i].ended = true;
  rows_[i].result = result;
  if (live_) {
    Redraw(i);
  } else {
    std::fprintf(out_, "%s  %s\n", rows_[i].path.c_str(), result.c_str());
  }
  std::fflush(out_);
}

void Progress::Finish() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (barShown_) std::fputc('\n', out_);
  barShown_ = false;
}

}  // namespace vantor::cli
