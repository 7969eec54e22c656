// The fuzz targets without libFuzzer: feeds every file named on the command
// line (a folder: each file in it, in name order) to LLVMFuzzerTestOneInput
// once. Each input gets a heap block of exactly its size, so a read past its
// end is caught by AddressSanitizer. Exits 1 when no input was found.
#include <stdint.h>
#include <stdio.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

bool ReadFile(const std::filesystem::path& path, std::string* bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

}  // namespace

int main(int argc, char** argv) {
  if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
  std::vector<std::filesystem::path> inputs;
  for (int i = 1; i < argc; i++) {
    std::filesystem::path path(argv[i]);
    if (std::filesystem::is_directory(path)) {
      std::vector<std::filesystem::path> files;
      for (const auto& entry : std::filesystem::directory_iterator(path)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
      }
      std::sort(files.begin(), files.end());
      inputs.insert(inputs.end(), files.begin(), files.end());
    } else {
      inputs.push_back(path);
    }
  }
  if (inputs.empty()) {
    fprintf(stderr, "%s: no inputs\n", argv[0]);
    return 1;
  }
  for (const auto& path : inputs) {
    std::string bytes;
    if (!ReadFile(path, &bytes)) {
      fprintf(stderr, "%s: cannot read %s\n", argv[0], path.c_str());
      return 1;
    }
    fprintf(stderr, "replay %s (%zu bytes)\n", path.c_str(), bytes.size());
    std::unique_ptr<uint8_t[]> copy(new uint8_t[bytes.size() + (bytes.empty() ? 1 : 0)]);
    std::copy(bytes.begin(), bytes.end(), copy.get());
    LLVMFuzzerTestOneInput(copy.get(), bytes.size());
  }
  printf("replayed %zu inputs\n", inputs.size());
  return 0;
}
