// Runs a fuzz target's LLVMFuzzerTestOneInput over files and folders of
// inputs without libFuzzer, so every build replays the seed corpora.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  std::vector<fs::path> inputs;
  for (int i = 1; i < argc; ++i) {
    std::error_code notFolder;
    for (const auto& entry : fs::directory_iterator(argv[i], notFolder))
      if (entry.is_regular_file()) inputs.push_back(entry.path());
    if (notFolder) inputs.emplace_back(argv[i]);
  }
  for (const auto& path : inputs) {
    std::ifstream in(path, std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (!in) {
      std::fprintf(stderr, "cannot read %s\n", path.c_str());
      return 1;
    }
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  }
  std::printf("%zu inputs replayed\n", inputs.size());
  if (inputs.empty()) std::fprintf(stderr, "no inputs\n");
  return inputs.empty() ? 1 : 0;
}
