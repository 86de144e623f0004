// A private file that the entries write their input into, for the parts of
// the library that open files by name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vexo::fuzz {

class ScratchFile {
 public:
  // A name in the temporary folder, unique to this process and tag.
  explicit ScratchFile(const char* tag);
  ~ScratchFile();
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;

  const std::string& path() const { return path_; }
  // Replaces the content; aborts when the file cannot be written, which is
  // not the input's fault.
  void write(const uint8_t* data, size_t size) const;

 private:
  std::string path_;
};

}  // namespace vexo::fuzz
