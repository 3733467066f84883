// libFuzzer target: any bytes as one line of the download history, as
// vantor history reads it. The record parser's verdict (one JSON object, or
// refused) must be nlohmann's on the same bytes; json_oracle.h names the
// few inputs where the two rightly differ and evens them out. A record it
// takes must hold what nlohmann reads: each value is one JSON value, the
// same as nlohmann's for its key (the last one when a key repeats), and a
// string value unescapes to nlohmann's string.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <string_view>

#include "history/record.h"
#include "json_oracle.h"
#include "text/hex.h"

namespace {

void Check(bool ok, const char* what, const std::string& line) {
  if (ok) return;
  std::fprintf(stderr, "fuzz_history_record: %s: %s\n", what,
               vantor::text::ToLowerHex(line).c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using vantor::fuzz::Neutral;
  const std::string line(reinterpret_cast<const char*>(data), size);
  vantor::history::Record record;
  const bool taken = record.Parse(line);
  Check(taken == vantor::fuzz::Expected(line), "record parser and nlohmann disagree", line);
  if (!taken) return 0;

  const nlohmann::json document = nlohmann::json::parse(Neutral(line));
  std::set<std::string_view> keys;
  bool plainKeys = true;  // keys are compared as written: escaped ones are left aside
  for (std::size_t i = 0; i < record.size(); ++i) {
    keys.insert(record.Key(i));
    plainKeys = plainKeys && record.Key(i).find('\\') == std::string_view::npos;
    Check(nlohmann::json::accept(Neutral(std::string(record.Value(i)))), "a value is no JSON",
          line);
  }
  if (!plainKeys) return 0;
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
  return 0;
}
