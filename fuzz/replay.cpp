// Feeds files through a fuzz entry function, as the fuzz target would:
//   vexo-fuzz-replay TARGET PATH...
// A path is a file or a folder of files (a missing folder holds none).
// Prints how many inputs it replayed;
// a defect shows as a crash, a sanitizer report or an early end.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "entries.h"

namespace {

void replay(vexo::fuzz::Entry entry, const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::fprintf(stderr, "replaying %s (%zu bytes)\n", file.c_str(), bytes.size());
  entry(bytes.data(), bytes.size());
}

}  // namespace

int main(int argc, char** argv) {
  const vexo::fuzz::Entry entry = argc >= 2 ? vexo::fuzz::entry_named(argv[1]) : nullptr;
  if (entry == nullptr) {
    std::fprintf(stderr, "usage: %s reader|load|tensor_file|llm PATH...\n", argv[0]);
    return 2;
  }
  size_t count = 0;
  for (int i = 2; i < argc; ++i) {
    const std::filesystem::path path(argv[i]);
    std::vector<std::filesystem::path> files;
    if (!std::filesystem::exists(path)) continue;
    if (std::filesystem::is_directory(path)) {
      for (const auto& item : std::filesystem::directory_iterator(path)) {
        if (item.is_regular_file()) files.push_back(item.path());
      }
    } else {
      files.push_back(path);
    }
    std::sort(files.begin(), files.end());
    for (const auto& file : files) replay(entry, file);
    count += files.size();
  }
  std::printf("replayed %zu inputs through %s\n", count, argv[1]);
  return 0;
}
