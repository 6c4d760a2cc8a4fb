// Runs a fuzz target over every file of a corpus directory, so that builds
// without libFuzzer (g++, the sanitizer builds) still check the seeds and every
// crasher found so far. Exits non-zero when the directory holds no input.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus directory>\n", argv[0]);
    return 2;
  }
  std::vector<std::filesystem::path> files;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(argv[1], error)) {
    if (entry.is_regular_file()) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  for (const auto& file : files) {
    std::ifstream stream(file, std::ios::binary);
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
    // A copy of exactly the input's length, as libFuzzer hands it over.
    auto input = std::make_unique<std::uint8_t[]>(std::max<std::size_t>(bytes.size(), 1));
    std::copy(bytes.begin(), bytes.end(), input.get());
    LLVMFuzzerTestOneInput(input.get(), bytes.size());
  }
  std::printf("%zu inputs replayed from %s\n", files.size(), argv[1]);
  return files.empty() ? 1 : 0;
}
