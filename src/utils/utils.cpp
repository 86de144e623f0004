#include "utils/utils.h"

#include <climits>
#include <cstdlib>
#include <fstream>
#include <memory>

#include "src/utils/logs.h"

void set_seed(int seed) {
  minilog::log_info("set seed: ", seed);
  std::srand(seed);
}

void write_file(std::string filename, uint8_t* data, size_t size) {
  std::ofstream file(filename, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  file.close();
  if (!file) minilog::log_error("write_file: cannot write ", filename);
}

void* read_file_data(std::string filename, int* size) {
  *size = -1;
  std::ifstream file(filename, std::ios::binary | std::ios::ate);
  if (!file) return nullptr;
  const std::streamoff length = file.tellg();
  if (length < 0) return nullptr;
  // The length travels as an int.
  if (length > INT_MAX) {
    minilog::log_error("read_file_data: ", filename, " is 2 GiB or larger");
    return nullptr;
  }
  file.seekg(0);
  std::unique_ptr<char, decltype(&std::free)> buffer(static_cast<char*>(std::malloc(length)), std::free);
  if (!buffer && length > 0) return nullptr;
  if (!file.read(buffer.get(), length)) return nullptr;
  *size = static_cast<int>(length);
  return buffer.release();
}
