// What nlohmann's parser says of a history line, and the check of the
// history's own record parser against it, for the fuzz targets.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <string_view>

#include "history/record.h"
#include "text/hex.h"

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

// Whether a history record parser must take line: one JSON object at most
// 64 levels deep. A byte order mark, which nlohmann skips at the start, is
// no part of a history line; nor is a NUL byte, which no JSON text holds
// and which nlohmann takes for the end of the text outside a string.
inline bool Expected(const std::string& line) {
  if (line.rfind("\xEF\xBB\xBF", 0) == 0 || line.find('\0') != std::string::npos) return false;
  int deepest = 0;
  const auto value = nlohmann::json::parse(
      Neutral(line),
      [&](int depth, nlohmann::json::parse_event_t event, nlohmann::json&) {
        using Event = nlohmann::json::parse_event_t;
        if (event == Event::object_start || event == Event::array_start)
          deepest = std::max(deepest, depth + 1);
        return true;
      },
      false);
  return value.is_object() && deepest <= 64;
}

// Stops the run on a broken promise, with the input in hex.
inline void Check(bool ok, const char* what, const std::string& input) {
  if (ok) return;
  std::fprintf(stderr, "%s: %s\n", what, text::ToLowerHex(input).c_str());
  std::abort();
}

// The record parser takes line exactly when Expected says so, and then holds
// what nlohmann reads: each value is one JSON value, the same as nlohmann's
// for its key (the last one when a key repeats), and a string value
// unescapes to nlohmann's string.
inline void CheckRecord(const std::string& line) {
  history::Record record;
  const bool taken = record.Parse(line);
  Check(taken == Expected(line), "record parser and nlohmann disagree", line);
  if (!taken) return;
  const nlohmann::json document = nlohmann::json::parse(Neutral(line));
  std::set<std::string_view> keys;
  bool plainKeys = true;  // keys are compared as written: escaped ones are left aside
  for (std::size_t i = 0; i < record.size(); ++i) {
    keys.insert(record.Key(i));
    plainKeys = plainKeys && record.Key(i).find('\\') == std::string_view::npos;
    Check(nlohmann::json::accept(Neutral(std::string(record.Value(i)))), "a value is no JSON",
          line);
  }
  if (!plainKeys) return;
  Check(keys.size() == document.size(), "the keys differ from nlohmann's", line);
  for (const std::string_view key : keys) {
    const auto it = document.find(std::string(key));
    Check(it != document.end(), "a key nlohmann does not have", line);
    const std::string value(record.Value(key));
    Check(nlohmann::json::parse(Neutral(value)) == *it, "a value differs from nlohmann's", line);
    // Text reads a lone escaped surrogate as U+FFFD, which nlohmann refuses.
    if (it->is_string() && Neutral(value) == value) {
      Check(record.Text(key) == it->get<std::string>(), "a string differs from nlohmann's", line);
    }
  }
}

}  // namespace vantor::fuzz
