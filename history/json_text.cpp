// JSON text: byte strings made valid UTF-8 for writing, and the strict
// scanner that reads the history's lines back.
#include <cstring>
#include <type_traits>

#include "record.h"
#include "utf8.h"

namespace vantor::history {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Checks JSON text; members, when given, receives the spans of the top
// level object's keys (without quotes) and values.
class Scanner {
 public:
  explicit Scanner(const std::string& text)
      : begin_(text.data()), p_(begin_), end_(p_ + text.size()) {}

  template <class Member>
  bool Object(std::vector<Member>* members) {
    Space();
    if (p_ == end_ || *p_ != '{' || !Container('}', members)) return false;
    Space();
    return p_ == end_;
  }

 private:
  void Space() {
    while (p_ < end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) ++p_;
  }

  bool Word(const char* word) {
    const std::size_t n = std::strlen(word);
    if (static_cast<std::size_t>(end_ - p_) < n || std::memcmp(p_, word, n) != 0) return false;
    p_ += n;
    return true;
  }

  bool String() {
    for (++p_; p_ < end_;) {
      auto c = static_cast<unsigned char>(*p_);
      while (c >= 0x20 && c < 0x80 && c != '"' && c != '\\' && ++p_ < end_) {
        c = static_cast<unsigned char>(*p_);  // the plain ASCII run
      }
      if (p_ == end_) break;
      if (c == '"') return ++p_, true;
      if (c < 0x20) return false;
      if (c == '\\') {
        if (++p_ == end_) return false;
        const char escape = *p_++;
        if (escape == 'u') {
          for (int i = 0; i < 4; ++i) {
            if (p_ == end_ || text::HexDigit(*p_++) < 0) return false;
          }
        } else if (escape == '\0' || !std::strchr("\"\\/bfnrt", escape)) {
          return false;
        }
      } else {
        const std::size_t n =
            text::Utf8Sequence(reinterpret_cast<const unsigned char*>(p_), end_ - p_);
        if (n == 0) return false;
        p_ += n;
      }
    }
    return false;
  }

  bool Digits() {
    if (p_ == end_ || !IsDigit(*p_)) return false;
    while (p_ < end_ && IsDigit(*p_)) ++p_;
    return true;
  }

  bool Number() {
    if (p_ < end_ && *p_ == '-') ++p_;
    if (p_ < end_ && *p_ == '0') {
      ++p_;
    } else if (!Digits()) {
      return false;
    }
    if (p_ < end_ && *p_ == '.' && (++p_, !Digits())) return false;
    if (p_ < end_ && (*p_ == 'e' || *p_ == 'E')) {
      ++p_;
      if (p_ < end_ && (*p_ == '+' || *p_ == '-')) ++p_;
      if (!Digits()) return false;
    }
    return true;
  }

  bool Value() {
    if (p_ == end_) return false;
    switch (*p_) {
      case '"': return String();
      case '{': return Container<int>('}', nullptr);
      case '[': return Container<int>(']', nullptr);
      case 't': return Word("true");
      case 'f': return Word("false");
      case 'n': return Word("null");
      default: return Number();
    }
  }

  template <class Member>
  bool Container(char close, std::vector<Member>* members) {
    if (++depth_ > 64) return false;
    ++p_;
    Space();
    if (p_ < end_ && *p_ == close) return ++p_, --depth_, true;
    for (;;) {
      const char* key = p_ + 1;
      const char* keyEnd = key;
      if (close == '}') {
        if (p_ == end_ || *p_ != '"' || !String()) return false;
        keyEnd = p_ - 1;
        Space();
        if (p_ == end_ || *p_ != ':') return false;
        ++p_;
        Space();
      }
      const char* value = p_;
      if (!Value()) return false;
      if constexpr (!std::is_same_v<Member, int>) {
        if (members) {
          members->push_back({{Offset(key), Offset(keyEnd) - Offset(key)},
                              {Offset(value), Offset(p_) - Offset(value)}});
        }
      }
      Space();
      if (p_ == end_) return false;
      if (*p_ == close) return ++p_, --depth_, true;
      if (*p_++ != ',') return false;
      Space();
    }
  }

  std::uint32_t Offset(const char* at) const { return static_cast<std::uint32_t>(at - begin_); }
  const char* begin_;
  const char* p_;
  const char* end_;
  int depth_ = 0;
};

}  // namespace

std::string JsonString(const std::string& bytes, bool* wasRaw) {
  std::string out;
  out.reserve(bytes.size());
  bool raw = false;
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  for (std::size_t i = 0; i < bytes.size();) {
    const std::size_t n = text::Utf8Sequence(p + i, bytes.size() - i);
    if (n > 0) {
      out.append(bytes, i, n);
      i += n;
    } else {
      text::AppendUtf8(&out, p[i]);  // U+0080..U+00FF
      raw = true;
      ++i;
    }
  }
  if (wasRaw) *wasRaw = raw;
  return out;
}

bool Record::Parse(std::string line) {
  line_ = std::move(line);
  members_.clear();
  if (line_.size() >= UINT32_MAX) return false;
  return Scanner(line_).Object(&members_) || (members_.clear(), false);
}

std::string_view Record::Value(std::string_view key) const {
  for (std::size_t i = members_.size(); i-- > 0;) {
    if (Key(i) == key) return Value(i);
  }
  return {};
}

std::string Record::Text(std::string_view key) const {
  const std::string_view value = Value(key);
  std::string out;
  if (value.empty() || value[0] != '"') return out;
  // Checked by Parse: every escape is complete, the value ends with '"'.
  for (std::size_t i = 1; i + 1 < value.size(); ++i) {
    if (value[i] != '\\') {
      out += value[i];
      continue;
    }
    const char escape = value[++i];
    if (escape != 'u') {
      const char* from = "bfnrt";
      const char* to = "\b\f\n\r\t";
      const char* at = std::strchr(from, escape);
      out += at ? to[at - from] : escape;
      continue;
    }
    const auto hex4 = [&](std::size_t at) {
      unsigned code = 0;
      for (std::size_t k = at; k < at + 4; ++k) code = code * 16 + text::HexDigit(value[k]);
      return code;
    };
    unsigned code = hex4(i + 1);
    i += 4;
    if (code >= 0xD800 && code < 0xDC00 && i + 6 < value.size() && value[i + 1] == '\\' &&
        value[i + 2] == 'u') {
      const unsigned low = hex4(i + 3);
      if (low >= 0xDC00 && low < 0xE000) {
        code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        i += 6;
      }
    }
    text::AppendUtf8(&out, code >= 0xD800 && code < 0xE000 ? 0xFFFD : code);  // a lone surrogate
  }
  return out;
}

}  // namespace vantor::history
