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

namespace {

// The length of the valid UTF-8 sequence at text[at] (no overlong forms,
// no surrogates, nothing above U+10FFFF), or 0; its code point in *code.
size_t utf8_length(const std::string& text, size_t at, uint32_t* code) {
  const auto byte = [&text](size_t i) { return static_cast<uint8_t>(text[i]); };
  const uint8_t lead = byte(at);
  if (lead < 0x80) {
    *code = lead;
    return 1;
  }
  // The sequence's length and the lowest code point it may hold.
  size_t length = 0;
  uint32_t low = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    low = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    low = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    low = 0x10000;
  } else {
    return 0;
  }
  *code = lead & (0x7Fu >> length);
  if (text.size() - at < length) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
    *code = (*code << 6) | (byte(at + i) & 0x3Fu);
  }
  if (*code < low || *code > 0x10FFFF || (*code >= 0xD800 && *code <= 0xDFFF)) return 0;
  return length;
}

bool is_control(uint32_t code) { return code < 0x20 || (code >= 0x7F && code <= 0x9F); }

}  // namespace

std::string printable(const std::string& text) {
  std::string shown;
  shown.reserve(text.size());
  for (size_t at = 0; at < text.size();) {
    uint32_t code = 0;
    const size_t length = utf8_length(text, at, &code);
    if (length > 0 && !is_control(code)) {
      shown.append(text, at, length);
      at += length;
      continue;
    }
    // An invalid byte alone, or every byte of a control character.
    for (const size_t end = at + (length > 0 ? length : 1); at < end; ++at) {
      static const char kHex[] = "0123456789ABCDEF";
      const auto byte = static_cast<uint8_t>(text[at]);
      shown += "\\x";
      shown += kHex[byte >> 4];
      shown += kHex[byte & 0xF];
    }
  }
  return shown;
}

std::string quoted(const std::string& text) { return "\"" + printable(text) + "\""; }

}  // namespace vexo::tool
