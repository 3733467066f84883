// A whole Download command of an offline-data script into the emulated
// reader: OnDownload on the window thread, then the worker to its end.
//
// With link_ms_per_report > 0 the emulator waits that long for each report
// in each direction, standing in for the USB link. Every command and every
// answer here fits one report, so the link alone takes
// 2 * (lines + 5 fixed exchanges) * link_ms; the "overhead_pct" counter is
// what the whole command takes on top of that. The emulator paces reports
// on a fixed frame grid, as a USB interrupt pipe does, so host time that
// fits inside a frame costs nothing. BM_DirectWrites sends the same
// commands without the window, so the difference between the two is the
// application's share.
//
// The emulator writes its state file (with a log entry per frame) when the
// link closes; that write is part of the measured time, and
// BM_EmulatorStateSave measures it alone.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "emulator/sim_state.h"
#include "protocol/frame.h"
#include "ui/VantorToolDlg.h"
#include "tests/scripted_host.h"
#include "tests/test_util.h"
#include "vantor/reader.h"

namespace {

constexpr int kLines = 1000;
constexpr int kFixedExchanges = 5;  // erase, start, end, file name, buzzer

using Clock = std::chrono::steady_clock;

using vantor::test::Hex;
using vantor::test::ScopedEnv;
using vantor::test::ScriptedHost;
using vantor::test::TempDir;

// Whether the host showed a message box since it was last asked.
bool ShowedBox(ScriptedHost& host) {
  for (const std::wstring& op : host.Take()) {
    if (op.rfind(L"box ", 0) == 0 || op.rfind(L"appbox ", 0) == 0) return true;
  }
  return false;
}

// Header line, then kLines data lines of 19 bytes each.
std::string Script() {
  std::string text = "; offline data for the bench\r\n";
  std::uint32_t seed = 777;
  for (int i = 0; i < kLines; ++i) {
    std::string line = "00 A4 04 00 0C";
    for (int b = 0; b < 14; ++b) {
      seed = seed * 1103515245u + 12345u;
      const auto value = static_cast<std::uint8_t>(seed >> 16);
      line += ' ' + vantor::text::ToHex(&value, 1);
    }
    text += line + "\r\n";
  }
  return text;
}

// Reports the link carries for the frames the reader logged: each command
// frame cut into output reports, each answer (no data here) one input report.
std::size_t LinkReports(const vantor::sim::Json& log) {
  std::size_t reports = 0;
  for (const auto& entry : log) {
    const std::size_t dataBytes = entry["data"].get<std::string>().size() / 2;
    reports += vantor::ReportCount(dataBytes + 5) + 1;
  }
  return reports;
}

vantor::sim::Json ReadJson(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return vantor::sim::Json::parse(text.str());
}

void BM_DownloadScript(benchmark::State& state) {
  const int linkMs = static_cast<int>(state.range(0));
  TempDir work;
  work.Write("script.bin", Script());
  const std::string statePath = work.File("state.json");
  const std::string fresh = "{\"link_ms_per_report\": " + std::to_string(linkMs) + "}";
  ScopedEnv sim("VANTOR_READER_SIM", statePath.c_str());

  ScriptedHost host;
  vantor::CVantorToolDlg dlg(host);
  dlg.OnInitDialog();
  const std::string script = work.File("script.bin");
  const std::wstring scriptPath(script.begin(), script.end());

  double seconds = 0;
  for (auto _ : state) {
    state.PauseTiming();
    work.Write("state.json", fresh);  // a fresh reader each time: empty log
    host.pathField = scriptPath;
    host.Take();
    state.ResumeTiming();

    const auto start = Clock::now();
    dlg.OnDownload();
    host.RunWorker();
    seconds += std::chrono::duration<double>(Clock::now() - start).count();

    if (dlg.LastOutcome() != vantor::Outcome::kSuccess || ShowedBox(host) ||
        dlg.StatusText().find(L"Download SUCCESS!") == std::wstring::npos) {
      state.SkipWithError("the download did not succeed");
      break;
    }
  }
  if (state.error_occurred()) return;

  // What the last run left in the reader.
  const vantor::sim::Json saved = ReadJson(statePath);
  const std::size_t frames = saved["log"].size();
  const std::size_t records = saved["offline_records"].size();
  if (frames != kLines + kFixedExchanges || records != kLines + 2) {
    state.SkipWithError("the reader did not receive every line");
    return;
  }
  const double meanMs = seconds * 1000.0 / static_cast<double>(state.iterations());
  const std::size_t reports = LinkReports(saved["log"]);
  state.counters["lines"] = kLines;
  state.counters["reports"] = static_cast<double>(reports);
  state.counters["state_file_kB"] =
      static_cast<double>(std::filesystem::file_size(statePath)) / 1024.0;
  if (linkMs > 0) {
    const double linkTimeMs = static_cast<double>(reports) * linkMs;
    state.counters["link_ms"] = linkTimeMs;
    state.counters["overhead_pct"] = (meanMs - linkTimeMs) / linkTimeMs * 100.0;
  } else {
    state.counters["us_per_line"] = meanMs * 1000.0 / kLines;
  }
}
BENCHMARK(BM_DownloadScript)
    ->ArgName("link_ms")
    ->Arg(0)
    ->Iterations(20)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_DownloadScript)
    ->ArgName("link_ms")
    ->Arg(1)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// vantor download --all --json as a process into `readers` emulated readers,
// each state file reset to fresh before every run (outside the timing).
// Fails unless every reader succeeded and holds all records; the longest
// single reader's own time over the runs, in seconds.
double DownloadAll(benchmark::State& state, int readers, const std::string& fresh) {
  TempDir work;
  work.Write("script.bin", Script());
  std::string list;
  for (int i = 0; i < readers; ++i) {
    list += (i ? ":" : "") + work.File("r" + std::to_string(i) + ".json");
  }
  ScopedEnv sim("VANTOR_READER_SIM", list.c_str());
  const std::string command = std::string(VANTOR_CLI_PATH) + " download " +
                              work.File("script.bin") + " --all --json 2>/dev/null";
  double slowestReader = 0;
  for (auto _ : state) {
    state.PauseTiming();
    for (int i = 0; i < readers; ++i) work.Write("r" + std::to_string(i) + ".json", fresh);
    state.ResumeTiming();

    FILE* pipe = ::popen(command.c_str(), "r");
    std::string out;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
      out.append(buffer, n);
    const int status = ::pclose(pipe);

    state.PauseTiming();
    const auto summary = vantor::sim::Json::parse(out, nullptr, false);
    if (status != 0 || summary.is_discarded() || summary["succeeded"] != readers) {
      state.SkipWithError("download --all did not succeed in every reader");
      break;
    }
    for (const auto& reader : summary["readers"]) {
      slowestReader = std::max(slowestReader, reader["seconds"].get<double>());
    }
    state.ResumeTiming();
  }
  if (state.error_occurred()) return 0;
  for (int i = 0; i < readers; ++i) {
    if (ReadJson(work.File("r" + std::to_string(i) + ".json"))["offline_records"].size() !=
        kLines + 2) {
      state.SkipWithError("a reader did not receive every line");
      return 0;
    }
  }
  return slowestReader;
}

// vantor download --all into N emulated readers at once, each paced by its
// own 1 ms link: the whole command as a process (start, file load, every
// reader's download and state write, summary). Each reader's link alone
// takes the same 2,010 ms, so N readers should take the time of one.
void BM_DownloadAll(benchmark::State& state) {
  const int readers = static_cast<int>(state.range(0));
  const double slowestReader = DownloadAll(state, readers, "{\"link_ms_per_report\": 1}");
  if (state.error_occurred()) return;
  state.counters["readers"] = readers;
  state.counters["link_ms"] = 2.0 * (kLines + kFixedExchanges);
  state.counters["slowest_reader_ms"] = slowestReader * 1000.0;
}
BENCHMARK(BM_DownloadAll)
    ->ArgName("readers")
    ->Arg(1)
    ->Arg(4)
    ->Arg(8)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The same into readers used for long: each state file holds a log of
// about N MB, without link pacing, so that the time is the host's own.
// Every state file is read when the readers are listed, again when each
// reader opens, and written when it closes; a batch lists its readers
// once, so the time grows with the readers, not with their square.
void BM_DownloadAllLongLogs(benchmark::State& state) {
  const int readers = static_cast<int>(state.range(0));
  const auto megabytes = static_cast<std::size_t>(state.range(1));
  std::string log;
  for (int i = 0; log.size() < megabytes << 20; ++i) {
    log += std::string(log.empty() ? "" : ",") + R"({"code":125,"slot":0,"data":")" +
           std::string(56, "0123456789ABCDEF"[i % 16]) + "\"}";
  }
  const std::string fresh = "{\"log\": [" + log + "]}";
  DownloadAll(state, readers, fresh);
  if (state.error_occurred()) return;
  state.counters["readers"] = readers;
  state.counters["state_file_MB"] = static_cast<double>(fresh.size()) / (1 << 20);
}
BENCHMARK(BM_DownloadAllLongLogs)
    ->ArgNames({"readers", "log_MB"})
    ->Args({8, 7})
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The same commands sent straight through the reader functions, without the
// window: file loading, blank stripping, the progress hand-over to the
// window thread and the worker are left out. What the full command takes
// beyond this is the application's share.
void BM_DirectWrites(benchmark::State& state) {
  const int linkMs = static_cast<int>(state.range(0));
  TempDir work;
  const std::string statePath = work.File("state.json");
  const std::string fresh = "{\"link_ms_per_report\": " + std::to_string(linkMs) + "}";
  std::vector<std::vector<std::uint8_t>> records;
  {
    const std::string script = Script();
    std::istringstream lines(script);
    std::string line;
    std::getline(lines, line);  // the header
    while (std::getline(lines, line)) {
      line.pop_back();  // the CR
      records.push_back(Hex(line));
    }
  }
  char name[] = "script.bin";
  std::uint8_t none[1] = {0};
  ScopedEnv sim("VANTOR_READER_SIM", statePath.c_str());
  double seconds = 0;
  for (auto _ : state) {
    state.PauseTiming();
    work.Write("state.json", fresh);
    state.ResumeTiming();

    const auto start = Clock::now();
    const int handle = DllOpenReader();
    bool ok = handle > 0 && DllEraseOfflineData(handle) == 0 &&
              DllWriteOfflineData(handle, VANTOR_RECORD_START, none, 0) == 0;
    for (std::size_t i = 0; ok && i < records.size(); ++i) {
      ok = DllWriteOfflineData(handle, VANTOR_RECORD_APDU, records[i].data(),
                               static_cast<unsigned char>(records[i].size())) == 0;
    }
    ok = ok && DllWriteOfflineData(handle, VANTOR_RECORD_END, none, 0) == 0 &&
         DllSetOfflineFileName(handle, name, sizeof name - 1) == 0 &&
         DllSpeakerControl(handle, 0) == 0;
    if (handle > 0 && DllCloseReader(handle) != 0) ok = false;
    seconds += std::chrono::duration<double>(Clock::now() - start).count();
    if (!ok || records.size() != kLines) {
      state.SkipWithError("a reader command failed");
      break;
    }
  }
  if (state.error_occurred()) return;
  const double meanMs = seconds * 1000.0 / static_cast<double>(state.iterations());
  const std::size_t reports = LinkReports(ReadJson(statePath)["log"]);
  state.counters["reports"] = static_cast<double>(reports);
  if (linkMs > 0) {
    const double linkTimeMs = static_cast<double>(reports) * linkMs;
    state.counters["overhead_pct"] = (meanMs - linkTimeMs) / linkTimeMs * 100.0;
  } else {
    state.counters["us_per_line"] = meanMs * 1000.0 / kLines;
  }
}
BENCHMARK(BM_DirectWrites)
    ->ArgName("link_ms")
    ->Arg(0)
    ->Iterations(20)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_DirectWrites)
    ->ArgName("link_ms")
    ->Arg(1)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The emulator's state write at the end of a link, alone: the state a
// 1,000-line download leaves behind, read once and written each iteration.
void BM_EmulatorStateSave(benchmark::State& state) {
  TempDir work;
  work.Write("script.bin", Script());
  const std::string statePath = work.File("state.json");
  work.Write("state.json", "{}");
  {
    ScopedEnv sim("VANTOR_READER_SIM", statePath.c_str());
    ScriptedHost host;
    vantor::CVantorToolDlg dlg(host);
    dlg.OnInitDialog();
    const std::string script = work.File("script.bin");
    host.pathField.assign(script.begin(), script.end());
    dlg.OnDownload();
    host.RunWorker();
    if (dlg.LastOutcome() != vantor::Outcome::kSuccess) {
      state.SkipWithError("the download did not succeed");
      return;
    }
  }

  const vantor::sim::SimState loaded = vantor::sim::LoadState(statePath);
  const std::string copy = work.File("copy.json");
  for (auto _ : state) {
    std::string error;
    if (!vantor::sim::SaveState(copy, loaded, &error)) {
      state.SkipWithError(error.c_str());
      break;
    }
  }
  state.counters["log_entries"] = static_cast<double>(loaded.log.size());
  state.counters["state_file_kB"] = static_cast<double>(std::filesystem::file_size(copy)) / 1024.0;
}
BENCHMARK(BM_EmulatorStateSave)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
