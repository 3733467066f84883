// Reading the download file as 8-bit text, one line at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace vantor::download {

// Most bytes of one line that are held: the longest line the format admits
// (521 bytes) with room for blanks around it and for a long comment.
constexpr std::size_t kMaxHeldLine = 1024;

// Sees the bytes as they are read from the file or memory: each byte once,
// in order; Restart() when the file is read again from its first byte.
class ReadWatcher {
 public:
  virtual ~ReadWatcher() = default;
  virtual void Restart() = 0;
  virtual void Read(const char* data, std::size_t size) = 0;
};

// Every byte becomes one wide character of the same code (0x00-0xFF); there
// is no BOM or multibyte handling. A line ends at LF, and a CR directly
// before the LF belongs to the line break; any other CR is an ordinary
// character. A byte 0x1A ends the text: neither it nor anything after it is
// read. The last line needs no line break.
//
// A line may be of any length in the file, but at most kMaxHeldLine bytes of
// it are held: ReadString returns them and LineCut() says so, and the rest
// of that line is skipped by the next read without being kept. Memory stays
// bounded however long a line is (a file without line breaks, /dev/zero).
class TextFile {
 public:
  TextFile();
  ~TextFile();
  TextFile(const TextFile&) = delete;
  TextFile& operator=(const TextFile&) = delete;

  // Opens an existing file read-only; the path is passed to the OS as is
  // (Windows: UTF-8, and other programs may read the file but not write it
  // while it is open). False when it cannot be opened or is a directory;
  // OpenError() then gives the reason as an errno value (EISDIR for a
  // directory).
  bool Open(const std::string& path);
  int OpenError() const { return openError_; }

  // Reads text held in memory instead of a file. The data is not copied and
  // must stay valid until Close() or the next Open.
  bool OpenMemory(const char* data, std::size_t size);

  bool IsOpen() const;

  // Starts reading again from the first line. While everything read so far
  // is still buffered (a first line shorter than the buffer), the buffered
  // bytes are read again rather than the file, so a check of the first line
  // and the load after it see the same bytes. Throws std::runtime_error when
  // the file cannot be repositioned.
  void SeekToBegin();

  // Shows every byte read from now on to watcher (nullptr: none), which
  // must outlive the reading.
  void Watch(ReadWatcher* watcher) { watcher_ = watcher; }
  // Reads the rest of the file, past a 0x1A too, without keeping it (for
  // the watcher). Throws std::runtime_error on a read error.
  void ReadToEnd();

  // The next line without its line break. Returns false (with line empty) at
  // the end of the text or when nothing is open. A read error is not the end
  // of the text: it throws std::runtime_error.
  bool ReadString(std::wstring& line);

  // True when the line last read was longer than kMaxHeldLine: ReadString
  // gave only its first kMaxHeldLine bytes.
  bool LineCut() const { return lineCut_; }

  void Close();

  // 1-based number of the physical line last read, 0 before the first.
  std::uint32_t PhysicalLine() const { return physicalLine_; }

 private:
  bool Fill();
  void ResetReading();
  enum class LineEnd { kLineBreak, kEndOfText, kFull };
  // Reads on in the current line, appending its bytes to *line up to room
  // bytes in all (none when line is null: they are skipped). Stops after
  // the line break, at the end of the text, or when *line is full.
  LineEnd ReadLineBytes(std::wstring* line, std::size_t room);

  std::FILE* file_ = nullptr;
  const char* memory_ = nullptr;
  std::size_t memorySize_ = 0;
  bool memoryOpen_ = false;
  bool memoryServed_ = false;

  ReadWatcher* watcher_ = nullptr;
  std::unique_ptr<char[]> buffer_;
  int fills_ = 0;  // reads into buffer_ since the file was opened or repositioned
  const char* pos_ = nullptr;
  const char* end_ = nullptr;
  bool textEnded_ = false;
  bool lineCut_ = false;
  bool skipRest_ = false;
  int openError_ = 0;
  std::uint32_t physicalLine_ = 0;
};

}  // namespace vantor::download
