#include "common/format.h"

#include <array>
#include <cstdio>

namespace vexo::tool {

std::string element_type_name(uint32_t code) {
  static const std::array<const char*, 11> kNames = {"float32",  "float16", "int8",  "uint8",
                                                     "int16",    "uint16",  "int32", "uint32",
                                                     "bfloat16", "int4",    "uint4"};
  return code < kNames.size() ? kNames[code] : "type " + std::to_string(code);
}

std::string human_size(uint64_t bytes) {
  if (bytes < 1024) return std::to_string(bytes) + " B";
  static const std::array<const char*, 6> kUnits = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  double value = static_cast<double>(bytes) / 1024;
  size_t unit = 0;
  // 1023.95 and more would print as "1024.0": move to the next unit instead.
  while (value >= 1023.95 && unit + 1 < kUnits.size()) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof(text), "%.1f %s", value, kUnits[unit]);
  return text;
}

std::string count_text(size_t count, const std::string& what) {
  return std::to_string(count) + " " + what + (count == 1 ? "" : "s");
}

}  // namespace vexo::tool
