// What nlohmann's parser says of a history line, for the fuzz targets that
// check the history's own record parser against it.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace vantor::fuzz {

inline bool IsHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Whether text is one JSON number (RFC 8259).
inline bool IsNumber(std::string_view text) {
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
inline std::string Neutral(std::string line) {
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
inline bool Expected(const std::string& line) {
  if (line.rfind("\xEF\xBB\xBF", 0) == 0 || line.find('\0') != std::string::npos) return false;
  const std::string neutral = Neutral(line);
  if (!nlohmann::json::accept(neutral)) return false;
  Shape shape;
  nlohmann::json::sax_parse(neutral, &shape);
  return shape.object && shape.deepest <= 64;
}

}  // namespace vantor::fuzz
