// Loading and checking a large offline-data script the way the Download
// command does it: open, read and parse the header line, rewind, load every
// line into the line table. Also the memory the table takes.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sys/resource.h>

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "download/format.h"
#include "download/loader.h"
#include "download/text_file.h"
#include "tests/test_util.h"

namespace {

constexpr std::uint32_t kLines = 100000;  // lines after the header

// The script, written once per process into a folder of its own that goes
// away at exit.
class ScriptFile {
 public:
  ScriptFile() : path_(dir_.File("script.bin")) { Write(); }
  const std::string& path() const { return path_; }
  std::uintmax_t size() const { return std::filesystem::file_size(path_); }

 private:
  // A header line, then data lines of 19 bytes (56 characters plus CR LF),
  // some in lower case, with a RESET line and a C-APDU line now and then.
  void Write() const {
    std::string text = "; offline data for the bench ProductType=00 ProductNum=00\r\n";
    text.reserve(static_cast<std::size_t>(kLines) * 60 + 64);
    std::uint32_t seed = 12345;
    for (std::uint32_t i = 1; i <= kLines; ++i) {
      if (i % 500 == 0) {
        text += "RESET\r\n";
        continue;
      }
      const bool apdu = i % 97 == 0;
      const bool lower = i % 7 == 0;
      std::string line = apdu ? "C-APDU 00 A4 04 00 0C" : "00 A4 04 00 0C";
      const int extra = apdu ? 12 : 14;
      for (int b = 0; b < extra; ++b) {
        seed = seed * 1103515245u + 12345u;
        const auto value = static_cast<std::uint8_t>(seed >> 16);
        std::string digits = vantor::text::ToHex(&value, 1);
        if (lower) digits = {char(std::tolower(digits[0])), char(std::tolower(digits[1]))};
        line += ' ' + digits;
      }
      text += line;
      text += "\r\n";
    }
    dir_.Write("script.bin", text);
  }

  vantor::test::TempDir dir_;
  std::string path_;
};

const ScriptFile& Script() {
  static const ScriptFile file;
  return file;
}

double PeakRssMiB() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;  // kB on Linux
}

// Heap bytes in use right now (glibc's count of allocated chunks).
double HeapInUseMiB() { return static_cast<double>(::mallinfo2().uordblks) / (1024.0 * 1024.0); }

// One load as the Download command runs it; false on any deviation.
bool LoadAsDownloadDoes(const std::string& path, vantor::download::LineTable& table,
                        std::uint8_t* mode) {
  vantor::download::TextFile file;
  if (!file.Open(path)) return false;
  file.SeekToBegin();
  std::wstring line;
  file.ReadString(line);
  std::uint8_t header[3];
  *mode = vantor::download::ParseHeaderLine(line, header);
  file.SeekToBegin();
  vantor::download::LineError error;
  const bool loaded = vantor::download::LoadLines(file, *mode, table, &error);
  file.Close();
  return loaded;
}

void BM_LoadScript(benchmark::State& state) {
  const ScriptFile& script = Script();
  const double heapBefore = HeapInUseMiB();
  // The command keeps its table between runs and refills it each time.
  vantor::download::LineTable table;
  for (auto _ : state) {
    std::uint8_t mode = 0xFF;
    if (!LoadAsDownloadDoes(script.path(), table, &mode) || mode != 0 ||
        table.size() != kLines + 1) {
      state.SkipWithError("the script did not load as expected");
      break;
    }
    benchmark::DoNotOptimize(table);
  }
  // Heap the filled table holds.
  state.counters["table_MiB"] = HeapInUseMiB() - heapBefore;
  // Process-wide peak since start: includes every benchmark run before this one.
  state.counters["peak_rss_MiB"] = PeakRssMiB();
  state.counters["file_MB"] = static_cast<double>(script.size()) / 1e6;
  state.counters["lines"] = kLines + 1;
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(script.size()));
}
BENCHMARK(BM_LoadScript)->Unit(benchmark::kMillisecond)->UseRealTime();

// Reading the lines alone, without checking or storing them: how much of a
// load is the file reading itself.
void BM_ReadScriptLines(benchmark::State& state) {
  const ScriptFile& script = Script();
  for (auto _ : state) {
    vantor::download::TextFile file;
    if (!file.Open(script.path())) {
      state.SkipWithError("cannot open the script");
      break;
    }
    std::wstring line;
    std::uint32_t count = 0;
    while (file.ReadString(line)) ++count;
    if (count != kLines + 1) {
      state.SkipWithError("wrong line count");
      break;
    }
    benchmark::DoNotOptimize(count);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(script.size()));
}
BENCHMARK(BM_ReadScriptLines)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
