#include "text_file.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <sys/stat.h>

#ifdef _WIN32
#include <share.h>

#include "utf16_win32.h"
#endif

namespace vantor::download {

namespace {

constexpr std::size_t kBufferSize = 64 * 1024;
constexpr char kEndOfText = 0x1A;

void AppendWidened(std::wstring& line, const char* begin, const char* end) {
  const std::size_t old = line.size();
  line.resize(old + static_cast<std::size_t>(end - begin));
  wchar_t* out = &line[old];
  for (const char* p = begin; p != end; ++p) {
    *out++ = static_cast<wchar_t>(static_cast<unsigned char>(*p));
  }
}

// Where the text of the current line stops among the buffered bytes
// [pos, end): at its LF, at a 0x1A, or at the end of the buffer.
struct LineStop {
  const char* at;
  bool lf;
  bool endOfText;
};

LineStop FindLineStop(const char* pos, const char* end) {
  const char* lf =
      static_cast<const char*>(std::memchr(pos, '\n', static_cast<std::size_t>(end - pos)));
  const char* stop = lf != nullptr ? lf : end;
  const char* eot =
      static_cast<const char*>(std::memchr(pos, kEndOfText, static_cast<std::size_t>(stop - pos)));
  if (eot != nullptr) return {eot, false, true};
  return {stop, lf != nullptr, false};
}

}  // namespace

TextFile::TextFile() = default;

TextFile::~TextFile() { Close(); }

bool TextFile::Open(const std::string& path) {
  Close();
  errno = 0;
#ifdef _WIN32
  // The path is UTF-8 (see app/local_path.h). Writers are shut out while the
  // file is read, so it cannot change between the check and the download.
  std::FILE* f = nullptr;
  std::wstring wide;
  if (text::ToUtf16(path, text::CodePage::kUtf8, /*strict=*/true, &wide) && !wide.empty() &&
      wide.find(L'\0') == std::wstring::npos) {
    f = _wfsopen(wide.c_str(), L"rb", _SH_DENYWR);
  }
  if (f == nullptr && errno == 0) errno = ENOENT;  // not a name Windows can take
#else
  std::FILE* f = std::fopen(path.c_str(), "rb");
#endif
  if (f == nullptr) {
    openError_ = errno != 0 ? errno : ENOENT;
    return false;
  }
#ifdef _WIN32
  struct _stat64 st;
  const bool is_dir = _fstat64(_fileno(f), &st) == 0 && (st.st_mode & _S_IFDIR) != 0;
#else
  struct stat st;
  const bool is_dir = fstat(fileno(f), &st) == 0 && S_ISDIR(st.st_mode);
#endif
  if (is_dir) {
    std::fclose(f);
    openError_ = EISDIR;
    return false;
  }
  // Reads go straight into our own buffer.
  std::setvbuf(f, nullptr, _IONBF, 0);
  file_ = f;
  fills_ = 0;
  buffer_.reset(new char[kBufferSize]);
  ResetReading();
  return true;
}

bool TextFile::OpenMemory(const char* data, std::size_t size) {
  Close();
  memory_ = data;
  memorySize_ = data != nullptr ? size : 0;
  memoryOpen_ = true;
  ResetReading();
  return true;
}

bool TextFile::IsOpen() const { return file_ != nullptr || memoryOpen_; }

void TextFile::Close() {
  if (file_ != nullptr) std::fclose(file_);
  file_ = nullptr;
  buffer_.reset();
  memory_ = nullptr;
  memorySize_ = 0;
  memoryOpen_ = false;
  openError_ = 0;
  ResetReading();
}

void TextFile::ResetReading() {
  pos_ = end_ = nullptr;
  memoryServed_ = false;
  textEnded_ = false;
  lineCut_ = false;
  skipRest_ = false;
  physicalLine_ = 0;
}

void TextFile::SeekToBegin() {
  // The buffer (or the memory) holds the text from its first byte.
  if ((file_ != nullptr && fills_ == 1) || (memoryOpen_ && memoryServed_)) {
    const char* start = memoryOpen_ ? memory_ : buffer_.get();
    const char* end = end_;
    ResetReading();
    pos_ = start;
    end_ = end;
    memoryServed_ = memoryOpen_;
    return;
  }
  if (file_ != nullptr && fills_ > 1) {
    if (std::fseek(file_, 0, SEEK_SET) != 0) {
      throw std::runtime_error(std::string("cannot rewind the download file: ") +
                               std::strerror(errno));
    }
    std::clearerr(file_);
    fills_ = 0;
    if (watcher_ != nullptr) watcher_->Restart();
  }
  ResetReading();
}

void TextFile::ReadToEnd() {
  while (Fill()) {
  }
  pos_ = end_;
  textEnded_ = true;
}

bool TextFile::Fill() {
  if (memoryOpen_) {
    if (memoryServed_ || memorySize_ == 0) return false;
    memoryServed_ = true;
    pos_ = memory_;
    end_ = memory_ + memorySize_;
    if (watcher_ != nullptr) watcher_->Read(pos_, memorySize_);
    return true;
  }
  if (file_ == nullptr) return false;
  const std::size_t got = std::fread(buffer_.get(), 1, kBufferSize, file_);
  if (std::ferror(file_)) {
    const int err = errno;
    throw std::runtime_error(std::string("cannot read the download file: ") + std::strerror(err));
  }
  if (got == 0) return false;
  ++fills_;
  pos_ = buffer_.get();
  end_ = pos_ + got;
  if (watcher_ != nullptr) watcher_->Read(pos_, got);
  return true;
}

TextFile::LineEnd TextFile::ReadLineBytes(std::wstring* line, std::size_t room) {
  for (;;) {
    if (pos_ == end_ && !Fill()) {
      textEnded_ = true;
      return LineEnd::kEndOfText;
    }
    const LineStop stop = FindLineStop(pos_, end_);
    if (line != nullptr) {
      if (static_cast<std::size_t>(stop.at - pos_) > room - line->size()) {
        const std::size_t take = room - line->size();
        AppendWidened(*line, pos_, pos_ + take);
        pos_ += take;
        return LineEnd::kFull;
      }
      AppendWidened(*line, pos_, stop.at);
    }
    if (stop.endOfText) {
      pos_ = end_;
      textEnded_ = true;
      return LineEnd::kEndOfText;
    }
    if (stop.lf) {
      pos_ = stop.at + 1;
      return LineEnd::kLineBreak;
    }
    pos_ = end_;
  }
}

bool TextFile::ReadString(std::wstring& line) {
  line.clear();
  lineCut_ = false;
  if (!IsOpen()) return false;
  if (skipRest_ && !textEnded_) ReadLineBytes(nullptr, 0);  // the rest of a cut line
  skipRest_ = false;
  if (textEnded_) return false;
  // One byte more than is held, for the CR of a CR LF line break. A longer
  // line keeps its start; the rest is skipped by the next read.
  const LineEnd end = ReadLineBytes(&line, kMaxHeldLine + 1);
  skipRest_ = end == LineEnd::kFull;
  const bool line_break = end == LineEnd::kLineBreak;
  if (line_break) {
    if (!line.empty() && line.back() == L'\r') line.pop_back();
  } else if (line.empty()) {
    return false;
  }
  if (line.size() > kMaxHeldLine) {
    line.resize(kMaxHeldLine);
    lineCut_ = true;
  }
  ++physicalLine_;
  return true;
}

}  // namespace vantor::download
