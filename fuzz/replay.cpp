// Runs a fuzz target over every input of its corpus, as an ordinary test: the target aborts
// on a fault or a disagreement. Built where libFuzzer is not (gcc, the 32-bit build), so the
// corpora run under CTest with every compiler and width.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size);

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  std::vector<fs::path> inputs;
  for (int i = 1; i < argc; ++i) {
    const fs::path path = argv[i];
    if (!fs::is_directory(path)) {
      inputs.push_back(path);
      continue;
    }
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(path)) {
      if (entry.is_regular_file()) inputs.push_back(entry.path());
    }
  }
  std::sort(inputs.begin(), inputs.end());
  if (inputs.empty()) {
    std::fprintf(stderr, "replay: no inputs\n");
    return 1;
  }
  for (const fs::path& input : inputs) {
    std::ifstream file(input, std::ios::binary);
    if (!file) {
      std::fprintf(stderr, "replay: cannot read %s\n", input.c_str());
      return 1;
    }
    // One byte more than the input, so that an empty input still has a pointer to pass.
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                                    std::istreambuf_iterator<char>());
    bytes.push_back(0);
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size() - 1);
  }
  std::printf("replay: %zu inputs, no fault\n", inputs.size());
  return 0;
}
