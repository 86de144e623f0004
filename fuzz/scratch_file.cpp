#include "scratch_file.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace vexo::fuzz {

ScratchFile::ScratchFile(const char* tag)
    : path_((std::filesystem::temp_directory_path() /
             ("vexo-fuzz-" + std::to_string(getpid()) + "-" + tag)).string()) {}

ScratchFile::~ScratchFile() { std::remove(path_.c_str()); }

void ScratchFile::write(const uint8_t* data, size_t size) const {
  std::FILE* file = std::fopen(path_.c_str(), "wb");
  if (file == nullptr || (size != 0 && std::fwrite(data, 1, size, file) != size) || std::fclose(file) != 0) {
    std::perror(path_.c_str());
    std::abort();
  }
}

}  // namespace vexo::fuzz
