// libFuzzer target: any bytes as a download file.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "download/codepage.h"
#include "download/format.h"
#include "download/loader.h"
#include "download/text_file.h"

using namespace vantor::download;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  TextFile file;
  file.OpenMemory(reinterpret_cast<const char*>(data), size);

  std::wstring first;
  std::uint8_t header[3];
  file.ReadString(first);
  ParseHeaderLine(first, header);

  for (std::uint8_t mode : {std::uint8_t{0}, std::uint8_t{1}}) {
    LineTable table;
    LineError error;
    LoadLines(file, mode, table, &error);
    for (const auto& entry : table) {
      const std::string ansi = ToAnsi(entry.second);
      const auto n = static_cast<std::uint32_t>(ansi.size());
      // c_str() gives the readable byte after the text that odd lengths need.
      std::vector<std::uint8_t> out((n + 1) / 2);  // exact: overflow is caught
      std::int32_t count = 0;
      DecodeHexPairs(ansi.c_str(), n, out.data(), &count);
      if (static_cast<std::size_t>(count) != (n + 1) / 2) __builtin_trap();
      CheckHexLine(n, ansi.c_str());
    }
  }

  FromAnsi(reinterpret_cast<const char*>(data), size);
  return 0;
}
