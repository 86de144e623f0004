// Names and units that the tools print.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vexo::tool {

// "float32", "float16", "int8", "uint8", "int16", "uint16", "int32",
// "uint32", "bfloat16", "int4", "uint4" for the element type codes 0 to 10;
// "type <code>" for any other code.
std::string element_type_name(uint32_t code);

// A byte count for people: "512 B", "1.5 KiB", "2.0 MiB", ... (binary units,
// one decimal).
std::string human_size(uint64_t bytes);

// "1 input", "2 inputs": a count and its noun, plural when it is not 1.
std::string count_text(size_t count, const std::string& what);

// Text from a file (a name, a path) made safe for a terminal: every byte
// that is not part of valid UTF-8, and every control character (C0, DEL and
// C1), becomes "\xNN"; the rest is kept as it is.
std::string printable(const std::string& text);

// printable(text) in double quotes, so that an empty name shows as "".
std::string quoted(const std::string& text);

}  // namespace vexo::tool
