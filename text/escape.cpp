#include "escape.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "locale_text.h"
#include "utf8.h"

namespace vantor::text {
namespace {

// What could drive a terminal or reorder what it shows: C0, DEL, C1 and the
// bidirectional controls (marks, embeddings, overrides, isolates).
bool MustEscape(std::uint32_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F ||
         (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

// The one escaped form of a character, or of a byte that is no text:
// \x1b, \xff, \u202e.
std::string Escaped(std::uint32_t c) {
  char piece[16];
  std::snprintf(piece, sizeof piece, c < 0x100 ? "\\x%02x" : "\\u%04x", static_cast<unsigned>(c));
  return piece;
}

// Bytes for the terminal: valid UTF-8 is kept but for the characters that
// must be escaped (line breaks kept when lines is set); each other byte is
// escaped.
std::string ShownBytes(const std::string& text, bool lines) {
  std::string out;
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t n = Utf8Sequence(p + i, text.size() - i);
    if (n == 0) {
      out += Escaped(p[i++]);
      continue;
    }
    std::uint32_t c = n == 1 ? p[i] : p[i] & (0x7F >> n);
    for (std::size_t k = 1; k < n; ++k) c = (c << 6) | (p[i + k] & 0x3F);
    if (MustEscape(c) && !(lines && c == '\n')) {
      out += Escaped(c);
    } else {
      out.append(text, i, n);
    }
    i += n;
  }
  return out;
}

// Wide text for the terminal by the same rule; a byte a path kept as
// U+DC80 + b is no text and is escaped as that byte.
std::string ShownWide(const std::wstring& text, bool lines) {
  std::wstring safe;
  for (wchar_t wc : text) {
    const auto c = static_cast<std::uint32_t>(wc);
    std::string escaped;
    if (IsByteEscape(wc)) {
      escaped = Escaped(c - kByteEscape);
    } else if (MustEscape(c) && !(lines && c == '\n')) {
      escaped = Escaped(c);
    }
    if (escaped.empty()) {
      safe += wc;
    } else {
      safe.append(escaped.begin(), escaped.end());
    }
  }
  return ToLocal(safe);
}

}  // namespace

std::string Shown(const std::string& text) { return ShownBytes(text, false); }

std::string Shown(const std::wstring& text) { return ShownWide(text, false); }

std::string ShownPane(const std::wstring& pane) {
  std::wstring text;
  for (std::size_t i = 0; i < pane.size(); ++i) {
    if (pane[i] == L'\r' && i + 1 < pane.size() && pane[i + 1] == L'\n') continue;
    text += pane[i];
  }
  return ShownWide(text, true);
}

std::string EchoLine(const std::wstring& text) {
  constexpr std::size_t kShown = 80;
  std::string out;
  for (wchar_t wc : text) {
    const auto c = static_cast<std::uint32_t>(wc);
    std::string piece;
    if (c == '\\') {
      piece = "\\\\";
    } else if (c >= 0x20 && c <= 0x7E) {
      piece = static_cast<char>(c);
    } else if (c > 0xFFFF && c <= 0x10FFFF) {
      // Where wchar_t is 32 bits: the two UTF-16 units, as where it is 16.
      piece = Escaped(0xD800 + ((c - 0x10000) >> 10)) + Escaped(0xDC00 + (c & 0x3FF));
    } else {
      piece = Escaped(c & 0xFFFF);
    }
    if (out.size() + piece.size() > kShown) {
      out += "...";
      break;
    }
    out += piece;
  }
  return out;
}

}  // namespace vantor::text
