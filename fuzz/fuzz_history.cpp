// libFuzzer target: any bytes as the download history's contents, all in
// memory. The line reader gives the lines a plain split on '\n' gives; each
// line passes json_oracle.h's CheckRecord. Then vantor history's query pairs the records
// and renders the table and the --json array: the table holds no character
// that drives a terminal or reorders its line and no byte that is not
// UTF-8, the array's attempts are JSON objects with each key once, and both
// show the same number of attempts.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "cli/history_command.h"
#include "history/record.h"
#include "json_oracle.h"
#include "text/utf8.h"

namespace {

using vantor::fuzz::Check;

// Each character a terminal acts on or that reorders a line: C0 (but the
// rows' line breaks), DEL, C1, the bidirectional controls; and each byte
// that is not UTF-8.
void CheckShown(const std::string& table) {
  const auto* p = reinterpret_cast<const unsigned char*>(table.data());
  for (std::size_t i = 0; i < table.size();) {
    const std::size_t n = vantor::text::Utf8Sequence(p + i, table.size() - i);
    Check(n > 0, "a byte that is not UTF-8 in the table", table);
    std::uint32_t c = n == 1 ? p[i] : p[i] & (0x7F >> n);
    for (std::size_t k = 1; k < n; ++k) c = c << 6 | (p[i + k] & 0x3F);
    const bool control = (c < 0x20 && c != '\n') || (c >= 0x7F && c <= 0x9F) || c == 0x061C ||
                         c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) ||
                         (c >= 0x2066 && c <= 0x2069);
    Check(!control, "a control character in the table", table);
    i += n;
  }
}

// What vantor history prints for text, table or JSON.
std::string Render(const std::string& text, bool json) {
  vantor::cli::HistoryQuery query;
  query.json = json;
  char* printed = nullptr;
  std::size_t size = 0;
  std::FILE* out = ::open_memstream(&printed, &size);
  std::FILE* in = ::fmemopen(const_cast<char*>(text.data()), text.size(), "r");
  Check(out && in, "no memory stream", text);
  std::uint64_t skipped = 0;
  Check(vantor::cli::ShowHistory(in, out, query, "", &skipped), "reading failed", text);
  std::fclose(in);
  std::fclose(out);
  std::string result(printed, size);
  std::free(printed);
  return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  std::vector<std::string> split;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = std::min(text.find('\n', at), text.size());
    split.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  std::FILE* in = ::fmemopen(const_cast<char*>(text.data()), text.size(), "r");
  Check(in, "no memory stream", text);
  std::vector<std::string> lines;
  vantor::history::LineReader reader(in);
  for (std::string line; reader.Next(&line);) lines.push_back(line);
  std::fclose(in);
  Check(lines == split, "lines read differ from the split", text);

  for (const auto& line : lines) vantor::fuzz::CheckRecord(line);

  const std::string table = Render(text, false);
  CheckShown(table);
  const std::string json = Render(text, true);
  Check(json.front() == '[' && json.size() >= 3 && json.substr(json.size() - 2) == "]\n",
        "--json is no array", json);
  std::size_t attempts = 0;
  for (std::size_t at = 2; at < json.size() - 2; ++attempts) {
    const std::size_t end = json.find('\n', at);
    Check(end != std::string::npos, "--json is cut short", json);
    std::string object = json.substr(at, end - at);
    if (!object.empty() && object.back() == ',') object.pop_back();
    vantor::history::Record attempt;
    Check(attempt.Parse(object), "an attempt --json prints is no JSON object", object);
    std::set<std::string_view> keys;
    for (std::size_t i = 0; i < attempt.size(); ++i) keys.insert(attempt.Key(i));
    Check(keys.size() == attempt.size(), "a key repeated in an attempt", object);
    at = end + 1;
  }
  const auto rows = static_cast<std::size_t>(std::count(table.begin(), table.end(), '\n'));
  Check(rows == attempts + 1, "the table and --json show different attempts", text);
  return 0;
}
