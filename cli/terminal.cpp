#include "terminal.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "commands.h"
#include "history.h"
#include "local_path.h"

namespace vantor::cli {
namespace {

bool IsControl(std::uint32_t c) { return (c < 0x20 && c != '\n') || (c >= 0x7F && c <= 0x9F); }

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

}  // namespace

std::string Shown(const std::string& text) {
  std::string out;
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (IsControl(c) && c < 0x80) {
      char piece[8];
      std::snprintf(piece, sizeof piece, "\\x%02x", c);
      out += piece;
    } else {
      out += ch;
    }
  }
  return out;
}

std::string Shown(const std::wstring& text) {
  std::wstring safe;
  for (wchar_t wc : text) {
    const auto c = static_cast<std::uint32_t>(wc);
    if (IsControl(c)) {
      wchar_t piece[8];
      std::swprintf(piece, 8, L"\\x%02x", c);
      safe += piece;
    } else {
      safe += wc;
    }
  }
  return ToTerminal(safe);
}

std::string ShownPane(const std::wstring& pane) {
  std::wstring text;
  for (std::size_t i = 0; i < pane.size(); ++i) {
    if (pane[i] == L'\r' && i + 1 < pane.size() && pane[i + 1] == L'\n') continue;
    text += pane[i];
  }
  return Shown(text);
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
    } else if (c <= 0xFF) {
      std::snprintf(piece, sizeof piece, "\\x%02x", static_cast<unsigned>(c));
    } else {
      std::snprintf(piece, sizeof piece, "\\u%04x", static_cast<unsigned>(c & 0xFFFF));
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
