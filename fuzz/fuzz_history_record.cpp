// libFuzzer target: any bytes as one line of the download history, as
// vantor history reads it, through json_oracle.h's CheckRecord.
#include <cstddef>
#include <cstdint>
#include <string>

#include "json_oracle.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vantor::fuzz::CheckRecord(std::string(reinterpret_cast<const char*>(data), size));
  return 0;
}
