// Code page conversion on POSIX systems: iconv between wchar_t and the
// charset VANTOR_CODEPAGE or the locale names.
#include "codepage.h"

#include <cstdint>
#include <cstring>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <utility>
#include <vector>

#include <iconv.h>
#include <langinfo.h>

namespace vantor::download {

namespace {

const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1);
const std::size_t kIconvError = static_cast<std::size_t>(-1);

// One charset's pair of conversion descriptors. A descriptor is never shared
// between threads: each thread keeps its own cache.
struct Converter {
  std::string charset;
  iconv_t to_ansi = kNoConverter;
  iconv_t from_ansi = kNoConverter;
  // ASCII characters come out as the same bytes, so pure-ASCII text needs
  // no iconv call.
  bool ascii_identity = false;

  explicit Converter(std::string name) : charset(std::move(name)) {
    to_ansi = iconv_open(charset.c_str(), "WCHAR_T");
    from_ansi = iconv_open("WCHAR_T", charset.c_str());
  }
  ~Converter() {
    if (to_ansi != kNoConverter) iconv_close(to_ansi);
    if (from_ansi != kNoConverter) iconv_close(from_ansi);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;
};

// Appends the conversion of [in, in + in_left) to out. Returns false when
// the input holds a sequence cd cannot take; *in then points at it.
bool Convert(iconv_t cd, const char** in, std::size_t* in_left, std::string* out) {
  const std::size_t start = out->size();
  const std::size_t room = (in_left != nullptr ? *in_left : 0) + 16;
  out->resize(start + room);
  char* out_ptr = &(*out)[start];
  std::size_t out_left = room;
  bool ok = true;
  for (;;) {
    std::size_t r;
    if (in != nullptr) {
      char* in_ptr = const_cast<char*>(*in);
      r = iconv(cd, &in_ptr, in_left, &out_ptr, &out_left);
      *in = in_ptr;
    } else {
      r = iconv(cd, nullptr, nullptr, &out_ptr, &out_left);
    }
    if (r != kIconvError) break;
    if (errno != E2BIG) {
      ok = false;
      break;
    }
    const std::size_t used = static_cast<std::size_t>(out_ptr - out->data());
    out->resize(out->size() * 2 + 16);
    out_ptr = &(*out)[used];
    out_left = out->size() - used;
  }
  out->resize(static_cast<std::size_t>(out_ptr - out->data()));
  return ok;
}

// Writes the shift sequence that returns a stateful charset to its initial
// state, if it needs one.
void Flush(iconv_t cd, std::string* out) { Convert(cd, nullptr, nullptr, out); }

bool ProbeAsciiIdentity(iconv_t cd) {
  wchar_t probe[128];
  for (int i = 0; i < 128; ++i) probe[i] = static_cast<wchar_t>(i);
  const char* in = reinterpret_cast<const char*>(probe);
  std::size_t in_left = sizeof probe;
  std::string out;
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  if (!Convert(cd, &in, &in_left, &out)) return false;
  Flush(cd, &out);
  if (out.size() != 128) return false;
  for (int i = 0; i < 128; ++i) {
    if (static_cast<unsigned char>(out[i]) != i) return false;
  }
  return true;
}

// The current thread's converter for the charset in force now. The cache is
// keyed by charset name, so a changed VANTOR_CODEPAGE is honoured on the
// next call.
Converter& CurrentConverter() {
  thread_local std::vector<std::unique_ptr<Converter>> cache;
  const std::string charset = AnsiCharset();
  for (auto& c : cache) {
    if (c->charset == charset) return *c;
  }
  const std::size_t kMaxEntries = 8;
  if (cache.size() >= kMaxEntries) cache.erase(cache.begin());
  auto c = std::make_unique<Converter>(charset);
  if (c->to_ansi != kNoConverter) c->ascii_identity = ProbeAsciiIdentity(c->to_ansi);
  cache.push_back(std::move(c));
  return *cache.back();
}

bool IsAscii(const std::wstring& text) {
  for (wchar_t ch : text) {
    if (static_cast<std::uint32_t>(ch) >= 0x80) return false;
  }
  return true;
}

}  // namespace

std::string AnsiCharset() {
  const char* env = std::getenv("VANTOR_CODEPAGE");
  if (env != nullptr && env[0] != '\0') return env;
  const char* codeset = nl_langinfo(CODESET);
  if (codeset != nullptr && codeset[0] != '\0') return codeset;
  return "ANSI_X3.4-1968";
}

bool AnsiCharsetKnown() {
  const Converter& conv = CurrentConverter();
  return conv.to_ansi != kNoConverter && conv.from_ansi != kNoConverter;
}

std::string ToAnsi(const std::wstring& text) {
  Converter& conv = CurrentConverter();
  std::string out;
  if (conv.ascii_identity && IsAscii(text)) {
    out.assign(text.begin(), text.end());  // every character is below 0x80
    return out;
  }
  if (conv.to_ansi == kNoConverter) {
    // Unknown charset: keep ASCII, everything else cannot be converted.
    out.reserve(text.size());
    for (wchar_t ch : text) {
      out.push_back(static_cast<std::uint32_t>(ch) < 0x80 ? static_cast<char>(ch) : '?');
    }
    return out;
  }
  out.reserve(text.size() + 16);
  iconv(conv.to_ansi, nullptr, nullptr, nullptr, nullptr);
  const char* in = reinterpret_cast<const char*>(text.data());
  std::size_t in_left = text.size() * sizeof(wchar_t);
  while (in_left > 0) {
    if (Convert(conv.to_ansi, &in, &in_left, &out)) break;
    // A character the charset does not have (or an invalid code).
    out.push_back('?');
    const std::size_t skip = in_left < sizeof(wchar_t) ? in_left : sizeof(wchar_t);
    in += skip;
    in_left -= skip;
  }
  Flush(conv.to_ansi, &out);
  return out;
}

std::wstring FromAnsi(const char* bytes, std::size_t n) {
  std::wstring out;
  n = TextLength(bytes, n);
  if (n == 0) return out;

  Converter& conv = CurrentConverter();
  if (conv.from_ansi == kNoConverter) {
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i)
      out.push_back(static_cast<wchar_t>(static_cast<unsigned char>(bytes[i])));
    return out;
  }

  // Wide characters are collected as raw bytes, then copied out.
  std::string raw;
  raw.reserve((n + 4) * sizeof(wchar_t));
  iconv(conv.from_ansi, nullptr, nullptr, nullptr, nullptr);
  const char* in = bytes;
  std::size_t in_left = n;
  while (in_left > 0) {
    if (Convert(conv.from_ansi, &in, &in_left, &raw)) break;
    // Invalid or incomplete sequence: its first byte stands for itself.
    const wchar_t ch = static_cast<wchar_t>(static_cast<unsigned char>(*in));
    raw.append(reinterpret_cast<const char*>(&ch), sizeof ch);
    ++in;
    --in_left;
    iconv(conv.from_ansi, nullptr, nullptr, nullptr, nullptr);
  }
  out.resize(raw.size() / sizeof(wchar_t));
  std::memcpy(&out[0], raw.data(), out.size() * sizeof(wchar_t));
  return out;
}

}  // namespace vantor::download
