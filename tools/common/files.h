// Checks of the files a tool reads and writes, made before any work so that
// a wrong path gives a clear message instead of a failure deep inside the
// library. Failures throw vexo::tool::Failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vexo::tool {

// The path names a readable file (not a folder).
void check_input_file(const std::string& path);
// The same for a path that may also name a folder (a model folder).
void check_input_path(const std::string& path);

// The path can be created or replaced: not a folder, in an existing folder
// that may be written.
void check_output_file(const std::string& path);

// Writes size bytes to path, replacing it; a failed write or close throws.
void write_bytes(const std::string& path, const uint8_t* data, size_t size);

}  // namespace vexo::tool
