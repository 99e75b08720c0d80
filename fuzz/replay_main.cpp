// Replays fuzz inputs without libFuzzer: runs LLVMFuzzerTestOneInput once over every file
// named on the command line and every regular file inside each named folder (not recursive,
// in name order). Each file's name is printed before it runs, so the last name printed is the
// input that made a run stop. Exits 1 when an argument cannot be read.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

bool ReadFile(const std::filesystem::path& path, std::vector<std::uint8_t>& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

}  // namespace

int main(int argc, char** argv) {
  if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
  std::vector<std::filesystem::path> files;
  int status = 0;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path path(argv[i]);
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) {
      std::vector<std::filesystem::path> inside;
      for (const auto& entry : std::filesystem::directory_iterator(path, error)) {
        if (entry.is_regular_file()) inside.push_back(entry.path());
      }
      std::sort(inside.begin(), inside.end());
      files.insert(files.end(), inside.begin(), inside.end());
    } else if (std::filesystem::is_regular_file(path, error)) {
      files.push_back(path);
    } else {
      std::fprintf(stderr, "replay: cannot read '%s'\n", argv[i]);
      status = 1;
    }
  }
  std::vector<std::uint8_t> bytes;
  for (const auto& file : files) {
    if (!ReadFile(file, bytes)) {
      std::fprintf(stderr, "replay: cannot read '%s'\n", file.c_str());
      status = 1;
      continue;
    }
    std::fprintf(stderr, "replay: %s (%zu bytes)\n", file.c_str(), bytes.size());
    // A copy of exactly the file's size, so that reading one byte past the input is caught
    // by AddressSanitizer as it is under libFuzzer.
    // libFuzzer never passes a null pointer, not even for an empty input; neither do we.
    static std::uint8_t emptyInput = 0;
    std::vector<std::uint8_t> input(bytes);
    LLVMFuzzerTestOneInput(input.empty() ? &emptyInput : input.data(), input.size());
  }
  std::fprintf(stderr, "replay: %zu inputs\n", files.size());
  if (files.empty()) {
    std::fprintf(stderr, "replay: no inputs found\n");
    status = 1;
  }
  return status;
}
