// Building the history's records, and reading its lines.
#include <chrono>
#include <cstring>
#include <ctime>
#include <random>

#include "hex.h"
#include "record.h"
#include "vantor_version.h"

namespace vantor::history {
namespace {

const char* KindText(Kind kind) {
  switch (kind) {
    case Kind::kFirmware: return "firmware";
    case Kind::kNothing: return "nothing";
    default: return "script";
  }
}

// The fields both records carry, in the order of the format.
nlohmann::ordered_json Common(const char* event, const Facts& facts) {
  nlohmann::ordered_json record;
  record["schema"] = 1;
  record["event"] = event;
  record["attempt"] = facts.attempt;
  record["batch"] = nullptr;
  if (!facts.batch.empty()) record["batch"] = facts.batch;
  record["time"] = UtcNow();
  SetString(record, "host", HostName());
  record["tool_version"] = VANTORTOOL_VERSION;
  SetString(record, "reader_path", facts.readerPath);
  SetString(record, "serial", facts.serial);
  SetString(record, "usb_path", facts.usbPath);
  SetString(record, "file_name", facts.fileName);
  SetString(record, "file_path", facts.filePath);
  record["file_size"] = facts.fileSize;
  record["sha256"] = facts.sha256;
  record["kind"] = KindText(facts.kind);
  record["header"] = text::ToHex(facts.header, sizeof facts.header);
  record["lines"] = facts.lines;
  return record;
}

// "raw" goes last, after the fields it explains.
std::string Finish(nlohmann::ordered_json& record) {
  if (record.contains("raw")) {
    nlohmann::ordered_json raw = std::move(record["raw"]);
    record.erase("raw");
    record["raw"] = std::move(raw);
  }
  return Dump(record);
}

}  // namespace

const char* ResultText(Result result) {
  switch (result) {
    case Result::kSuccess: return "success";
    case Result::kInterrupted: return "interrupted";
    case Result::kNothingSent: return "nothing-sent";
    default: return "failed";
  }
}

std::string NewId() {
  std::random_device random;
  char id[33];
  for (int i = 0; i < 4; ++i) {
    std::snprintf(id + 8 * i, 9, "%08x", static_cast<unsigned>(random()));
  }
  return id;
}

std::string UtcNow() {
  using namespace std::chrono;
  const auto now = time_point_cast<milliseconds>(system_clock::now());
  const std::time_t seconds = system_clock::to_time_t(now);
  std::tm utc{};
#ifdef _WIN32
  gmtime_s(&utc, &seconds);
#else
  gmtime_r(&seconds, &utc);
#endif
  char text[32];
  const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  const auto ms = now.time_since_epoch().count() % 1000;
  std::snprintf(text + n, sizeof text - n, ".%03dZ", static_cast<int>(ms < 0 ? ms + 1000 : ms));
  return text;
}

std::string StartedRecord(const Facts& facts) {
  nlohmann::ordered_json record = Common("started", facts);
  return Finish(record);
}

std::string FinishedRecord(const Facts& facts, const End& end) {
  nlohmann::ordered_json record = Common("finished", facts);
  record["duration_ms"] = end.durationMs;
  record["records_sent"] = end.recordsSent;
  record["result"] = ResultText(end.result);
  record["failed_step"] = nullptr;
  if (!end.failedStep.empty()) SetString(record, "failed_step", end.failedStep);
  record["exit_code"] = end.exitCode;
  return Finish(record);
}

bool LineReader::Next(std::string* line) {
  constexpr std::size_t kChunk = 64 * 1024;
  line->clear();
  bool skipping = false;  // in a line longer than maxLength_
  for (;;) {
    if (pos_ == buffer_.size()) {
      buffer_.resize(kChunk);
      buffer_.resize(std::fread(&buffer_[0], 1, kChunk, file_));
      pos_ = 0;
      if (buffer_.empty()) {  // the end; a last line may lack its newline
        if (skipping) ++tooLong_;
        return !skipping && !line->empty();
      }
    }
    const char* start = buffer_.data() + pos_;
    const auto* newline = static_cast<const char*>(std::memchr(start, '\n', buffer_.size() - pos_));
    const std::size_t take = newline ? newline - start : buffer_.size() - pos_;
    if (!skipping && line->size() + take > maxLength_) {
      skipping = true;
      std::string().swap(*line);
    }
    if (!skipping) line->append(start, take);
    pos_ += take + (newline ? 1 : 0);
    if (!newline) continue;
    if (!skipping) return true;
    ++tooLong_;
    skipping = false;
  }
}

}  // namespace vantor::history
