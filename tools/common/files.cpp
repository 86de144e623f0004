#include "common/files.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "common/tool.h"

namespace vexo::tool {

namespace fs = std::filesystem;

namespace {

Failure os_failure(const std::string& what, const std::string& path) {
  return Failure("cannot " + what + " " + path + ": " + std::strerror(errno));
}

}  // namespace

void check_input_file(const std::string& path) {
  std::error_code error;
  const fs::file_status status = fs::status(path, error);
  if (error) throw Failure("cannot open " + path + ": " + error.message());
  if (fs::is_directory(status)) throw Failure("cannot open " + path + ": it is a folder");
  if (access(path.c_str(), R_OK) != 0) throw os_failure("open", path);
}

void check_input_path(const std::string& path) {
  std::error_code error;
  if (fs::is_directory(path, error)) {
    if (access(path.c_str(), R_OK | X_OK) != 0) throw os_failure("open", path);
    return;
  }
  check_input_file(path);
}

void check_output_file(const std::string& path) {
  if (path.empty()) throw Failure("the output file name is empty");
  std::error_code error;
  const fs::file_status status = fs::status(path, error);
  if (fs::is_directory(status)) throw Failure("cannot write " + path + ": it is a folder");
  if (fs::exists(status)) {
    if (access(path.c_str(), W_OK) != 0) throw os_failure("write", path);
    return;
  }
  const fs::path parent = fs::path(path).parent_path();
  const std::string folder = parent.empty() ? "." : parent.string();
  if (!fs::is_directory(folder, error)) throw Failure("cannot write " + path + ": no folder " + folder);
  if (access(folder.c_str(), W_OK | X_OK) != 0) throw os_failure("write", path);
}

void write_bytes(const std::string& path, const uint8_t* data, size_t size) {
  check_output_file(path);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw os_failure("write", path);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  out.close();
  if (!out) throw os_failure("write", path);
}

}  // namespace vexo::tool
