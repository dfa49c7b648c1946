// Replays fuzz inputs (files, or every file in the folders given) through a fuzz target, for
// builds without libFuzzer: the regression inputs and the seed corpus run in the normal suite.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  int count = 0;
  for (int i = 1; i < argc; ++i) {
    if (!fs::exists(argv[i])) continue;  // no regression kept for this target yet
    std::vector<fs::path> files{argv[i]};
    if (fs::is_directory(argv[i])) files.assign(fs::directory_iterator(argv[i]), {});
    for (const fs::path& f : files) {
      std::ifstream in(f, std::ios::binary);
      const std::vector<char> bytes(std::istreambuf_iterator<char>(in), {});
      // An exactly sized copy, so a sanitizer sees any read past the end.
      std::vector<std::uint8_t> copy(bytes.begin(), bytes.end());
      LLVMFuzzerTestOneInput(copy.empty() ? nullptr : copy.data(), copy.size());
      ++count;
    }
  }
  std::printf("replayed %d inputs\n", count);
  return count > 0 ? 0 : 1;
}
