// libFuzzer target: any bytes as the download history's contents, all in
// memory. The line reader gives the lines a plain split on '\n' gives. The
// record parser takes a line exactly when nlohmann's parser finds one JSON
// object of at most 64 levels in it (see Neutral and Expected for where the
// two may rightly differ). Then vantor history's query pairs the records
// and renders the table and the --json array: the table holds no character
// that drives a terminal or reorders its line and no byte that is not
// UTF-8, the array's attempts are JSON objects with each key once, and both
// show the same number of attempts.
#include <algorithm>
#include <cmath>
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
#include "history/history.h"
#include "text/hex.h"
#include "text/utf8.h"

namespace {

void Check(bool ok, const char* what, const std::string& text) {
  if (ok) return;
  std::fprintf(stderr, "fuzz_history: %s: %s\n", what, vantor::text::ToLowerHex(text).c_str());
  std::abort();
}

bool IsHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Whether text is one JSON number (RFC 8259).
bool IsNumber(std::string_view text) {
  std::size_t i = 0;
  const auto digits = [&] {
    const std::size_t from = i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
    return i > from;
  };
  if (i < text.size() && text[i] == '-') ++i;
  if (i < text.size() && text[i] == '0') {
    ++i;
  } else if (!digits()) {
    return false;
  }
  if (i < text.size() && text[i] == '.' && (++i, !digits())) return false;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    if (!digits()) return false;
  }
  return i == text.size();
}

// line with what nlohmann refuses although the grammar allows it, and the
// history reader takes, made neutral: an escaped surrogate (a lone one is
// read as U+FFFD) becomes \u0041, a number beyond a double's range (kept
// as text) becomes 0. Neither change can make a line valid or invalid.
std::string Neutral(std::string line) {
  bool inString = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (inString && c == '\\') {
      if (i + 5 < line.size() && line[i + 1] == 'u' && IsHex(line[i + 2]) && IsHex(line[i + 3]) &&
          IsHex(line[i + 4]) && IsHex(line[i + 5])) {
        const unsigned code = std::stoul(line.substr(i + 2, 4), nullptr, 16);
        if (code >= 0xD800 && code < 0xE000) line.replace(i + 2, 4, "0041");
        i += 5;
      } else {
        ++i;
      }
    } else if (c == '"') {
      inString = !inString;
    } else if (!inString && (c == '-' || (c >= '0' && c <= '9'))) {
      std::size_t end = std::min(line.find_first_not_of("-+.eE0123456789", i), line.size());
      const std::string number = line.substr(i, end - i);
      if (IsNumber(number) && !std::isfinite(std::strtod(number.c_str(), nullptr))) {
        line.replace(i, number.size(), "0");
        end = i + 1;
      }
      i = end - 1;
    }
  }
  return line;
}

// Depth and the first value's kind, as nlohmann's SAX parser reports them.
struct Shape : nlohmann::json_sax<nlohmann::json> {
  int depth = 0, deepest = 0;
  bool object = false, first = true;
  bool Open(bool isObject) {
    if (first) object = isObject;
    first = false;
    deepest = std::max(deepest, ++depth);
    return true;
  }
  bool Value() { return first = false, true; }
  bool null() override { return Value(); }
  bool boolean(bool) override { return Value(); }
  bool number_integer(number_integer_t) override { return Value(); }
  bool number_unsigned(number_unsigned_t) override { return Value(); }
  bool number_float(number_float_t, const string_t&) override { return Value(); }
  bool string(string_t&) override { return Value(); }
  bool binary(binary_t&) override { return Value(); }
  bool start_object(std::size_t) override { return Open(true); }
  bool key(string_t&) override { return true; }
  bool end_object() override { return --depth, true; }
  bool start_array(std::size_t) override { return Open(false); }
  bool end_array() override { return --depth, true; }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }
};

// Whether a history record parser must take line: one JSON object at most
// 64 levels deep. A byte order mark, which nlohmann skips at the start, is
// no part of a history line; nor is a NUL byte, which no JSON text holds
// and which nlohmann takes for the end of the text outside a string.
bool Expected(const std::string& line) {
  if (line.rfind("\xEF\xBB\xBF", 0) == 0 || line.find('\0') != std::string::npos) return false;
  const std::string neutral = Neutral(line);
  if (!nlohmann::json::accept(neutral)) return false;
  Shape shape;
  nlohmann::json::sax_parse(neutral, &shape);
  return shape.object && shape.deepest <= 64;
}

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

  for (const auto& line : lines) {
    vantor::history::Record record;
    Check(record.Parse(line) == Expected(line), "record parser and nlohmann disagree", line);
  }

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
