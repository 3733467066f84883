#include "terminal.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "commands.h"
#include "local_path.h"
#include "record.h"

namespace vantor::cli {
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

void AppendUtf8(std::string& out, std::uint32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// Bytes for the terminal: valid UTF-8 is kept but for the characters that
// must be escaped (line breaks kept when lines is set); each other byte is
// escaped.
std::string ShownBytes(const std::string& text, bool lines) {
  std::string out;
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t n = history::Utf8Sequence(p + i, text.size() - i);
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
// U+DC80 + b (see local_path.h) is no text and is escaped as that byte.
std::string ShownWide(const std::wstring& text, bool lines) {
  std::wstring safe;
  for (wchar_t wc : text) {
    const auto c = static_cast<std::uint32_t>(wc);
    std::string escaped;
    if (c >= 0xDC80 && c <= 0xDCFF) {
      escaped = Escaped(c - 0xDC00);
    } else if (MustEscape(c) && !(lines && c == '\n')) {
      escaped = Escaped(c);
    }
    if (escaped.empty()) {
      safe += wc;
    } else {
      safe.append(escaped.begin(), escaped.end());
    }
  }
  return ToTerminal(safe);
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
    char piece[16];
    if (c == '\\') {
      std::snprintf(piece, sizeof piece, "\\\\");
    } else if (c >= 0x20 && c <= 0x7E) {
      piece[0] = static_cast<char>(c);
      piece[1] = '\0';
    } else {
      std::snprintf(piece, sizeof piece, "%s", Escaped(c & 0xFFFF).c_str());
    }
    if (out.size() + std::strlen(piece) > kShown) {
      out += "...";
      break;
    }
    out += piece;
  }
  return out;
}

std::string Utf8(const std::wstring& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    auto c = static_cast<std::uint32_t>(text[i]);
    if (sizeof(wchar_t) == 2 && c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() &&
        text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<std::uint32_t>(text[++i]) - 0xDC00);
    } else if (c >= 0xDC80 && c <= 0xDCFF) {
      c -= 0xDC00;  // a byte of a path kept as it was: its Latin-1 reading
    } else if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) {
      c = 0xFFFD;
    }
    AppendUtf8(out, c);
  }
  return out;
}

void PutText(nlohmann::json& object, const std::string& key, const std::string& bytes) {
  history::SetString(object, key, bytes);
}

std::string Dump(const nlohmann::json& value) { return history::Dump(value, 2); }

void KeepRunningOnClosedPipe() {
#ifndef _WIN32
  std::signal(SIGPIPE, SIG_IGN);
#endif
}

int FinishOutput(int code) {
  errno = 0;
  const bool lost = std::fflush(stdout) != 0 || std::ferror(stdout) != 0;
  const int reason = errno != 0 ? errno : EIO;
  const bool closeFailed = std::fclose(stdout) != 0 && !lost;
  if (!lost && !closeFailed) return code;
  std::fprintf(stderr, "vantor: writing output failed: %s\n",
               std::strerror(closeFailed ? errno : reason));
  return code == kExitOk ? kExitFailed : code;
}

}  // namespace vantor::cli
