#include "download_report.h"

#include <algorithm>
#include <cstdio>

#include "format.h"
#include "terminal.h"

namespace vantor::cli {
namespace {

using app::Outcome;
using app::StopPoint;

// What the reader holds after a download that a signal stopped.
std::string Interrupted(const StopPoint point, std::uint8_t mode) {
  switch (point) {
    case StopPoint::kUnchanged: return "download interrupted before the reader was changed";
    case StopPoint::kIncomplete:
      return mode == download::kHeaderF
                 ? "download interrupted: the reader now holds an incomplete firmware image; "
                   "download again before unplugging it"
                 : "download interrupted: the reader now holds an incomplete script; download "
                   "it again";
    case StopPoint::kNone: break;
  }
  return "interrupted after the download had ended";
}

// The characters of UTF-8 text, which is what a column's width counts on a
// terminal: a character of several bytes is one.
std::size_t Characters(const std::string& text) {
  return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;  // not a continuation byte
  }));
}

// text with blanks after it up to width characters.
std::string Padded(std::string text, std::size_t width) {
  const std::size_t characters = Characters(text);
  if (characters < width) text.append(width - characters, ' ');
  return text;
}

int Succeeded(const app::AttemptResult& result) {
  return static_cast<int>(std::count_if(result.readers.begin(), result.readers.end(),
                                        [](const app::ReaderResult& r) { return r.Ok(); }));
}

}  // namespace

std::string ReaderMessage(const app::DownloadEnd& end, std::uint8_t mode) {
  if (end.stopPoint != StopPoint::kNone) return Interrupted(end.stopPoint, mode);
  if (end.outcome == Outcome::kNoReader) return "Open Device Error!";
  if (!end.failedStep.empty()) return Shown(end.failedStep);
  if (end.outcome == Outcome::kSuccess) return "Download SUCCESS!";
  return "Loading...";  // nothing to send: the pane's only line
}

nlohmann::json Summary(const std::string& file, const app::AttemptResult& result,
                       std::uint8_t mode) {
  nlohmann::json readers = nlohmann::json::array();
  for (const auto& run : result.readers) {
    nlohmann::json entry = {{"ok", run.Ok()}, {"seconds", run.seconds}};
    PutText(entry, "path", run.path);
    PutText(entry, "message", ReaderMessage(run.end, mode));
    PutText(entry, "serial", run.serial);
    PutText(entry, "usb_path", run.usbPath);
    entry["attempt"] = run.attempt.empty() ? nlohmann::json() : nlohmann::json(run.attempt);
    if (run.Stopped()) entry["interrupted"] = true;
    readers.push_back(entry);
  }
  const int succeeded = Succeeded(result);
  nlohmann::json summary = {{"readers", readers},
                            {"total", result.readers.size()},
                            {"succeeded", succeeded},
                            {"failed", static_cast<int>(result.readers.size()) - succeeded},
                            {"seconds", result.seconds}};
  PutText(summary, "file", file);
  if (!result.batch.empty()) summary["batch"] = result.batch;
  summary["in_use"] = nlohmann::json::array();
  for (const auto& left : result.leftOut) {
    if (!left.duplicateOf.empty()) continue;
    nlohmann::json entry;
    PutText(entry, "path", left.path);
    summary["in_use"].push_back(entry["path"]);
    if (entry.contains("raw")) summary["raw"]["in_use"].push_back(entry["raw"]["path"]);
  }
  return summary;
}

void PrintTable(const app::AttemptResult& result, std::uint8_t mode) {
  std::size_t pathWidth = 6, resultWidth = 6;
  for (const auto& run : result.readers) {
    pathWidth = std::max(pathWidth, Characters(Shown(run.path)));
    resultWidth = std::max(resultWidth, Characters(ReaderMessage(run.end, mode)));
  }
  std::printf("%s  %s  %s\n", Padded("reader", pathWidth).c_str(),
              Padded("result", resultWidth).c_str(), "seconds");
  for (const auto& run : result.readers) {
    std::printf("%s  %s  %7.2f\n", Padded(Shown(run.path), pathWidth).c_str(),
                Padded(ReaderMessage(run.end, mode), resultWidth).c_str(), run.seconds);
  }
  const int succeeded = Succeeded(result);
  std::printf("%d of %zu readers succeeded, %zu failed, %.2f s\n", succeeded, result.readers.size(),
              result.readers.size() - static_cast<std::size_t>(succeeded), result.seconds);
}

void PrintPane(const std::wstring& pane) {
  if (pane.empty()) return;
  std::string text = ShownPane(pane);
  if (text.back() != '\n') text += '\n';
  std::fputs(text.c_str(), stdout);
}

std::wstring WithoutLastLine(const std::wstring& pane) {
  const std::size_t last = pane.find_last_not_of(L"\r\n");
  if (last == std::wstring::npos) return L"";
  const std::size_t before = pane.find_last_of(L"\r\n", last);
  return before == std::wstring::npos ? L"" : pane.substr(0, before + 1);
}

int EndEarly(int code, const std::string& file, const std::string& reason, bool json) {
  if (json) {
    nlohmann::json summary = Summary(file, {}, 0);
    PutText(summary, "error", reason);
    std::printf("%s\n", Dump(summary).c_str());
  }
  return code;
}

}  // namespace vantor::cli
