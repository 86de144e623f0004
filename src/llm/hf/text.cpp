#include "src/llm/hf/text.h"

#include <utf8proc.h>

namespace llmrun::hf {

char32_t next_char(const std::string& text, size_t i, size_t* length) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[i + k]); };
  const unsigned char first = byte(0);
  if (first < 0x80) return *length = 1, first;
  if (first < 0xE0) return *length = 2, ((first & 0x1Fu) << 6) | (byte(1) & 0x3Fu);
  if (first < 0xF0) return *length = 3, ((first & 0x0Fu) << 12) | ((byte(1) & 0x3Fu) << 6) | (byte(2) & 0x3Fu);
  *length = 4;
  return ((first & 0x07u) << 18) | ((byte(1) & 0x3Fu) << 12) | ((byte(2) & 0x3Fu) << 6) | (byte(3) & 0x3Fu);
}

namespace {

// Bytes of the valid character starting at text[i], 0 when there is none;
// `*bad` then counts the bytes of its maximal invalid subpart.
size_t valid_length(const std::string& text, size_t i, size_t* bad) {
  const auto at = [&](size_t k) -> unsigned { return i + k < text.size() ? static_cast<unsigned char>(text[i + k]) : 0u; };
  const unsigned first = at(0);
  if (first < 0x80) return 1;
  size_t length = 0;
  unsigned low = 0x80, high = 0xBF;  // the range of the second byte
  if (first >= 0xC2 && first <= 0xDF) length = 2;
  else if (first >= 0xE0 && first <= 0xEF) length = 3, low = first == 0xE0 ? 0xA0 : 0x80, high = first == 0xED ? 0x9F : 0xBF;
  else if (first >= 0xF0 && first <= 0xF4) length = 4, low = first == 0xF0 ? 0x90 : 0x80, high = first == 0xF4 ? 0x8F : 0xBF;
  *bad = 1;
  if (length == 0) return 0;
  for (size_t k = 1; k < length; ++k) {
    const unsigned byte = at(k);
    if (byte < (k == 1 ? low : 0x80) || byte > (k == 1 ? high : 0xBF)) return 0;
    *bad = k + 1;
  }
  return length;
}

}  // namespace

std::string valid_utf8(const std::string& text) {
  std::string out;
  size_t i = 0;
  while (i < text.size()) {
    size_t bad = 0;
    const size_t length = valid_length(text, i, &bad);
    if (length) {
      out.append(text, i, length);
      i += length;
    } else {
      out += "\xEF\xBF\xBD";
      i += bad;
    }
  }
  return out;
}

bool is_whitespace(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) ||
         c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

namespace {
utf8proc_propval_t category(char32_t c) { return utf8proc_category(static_cast<utf8proc_int32_t>(c)); }
}  // namespace

bool is_numeric(char32_t c) {
  const auto cat = category(c);
  return cat == UTF8PROC_CATEGORY_ND || cat == UTF8PROC_CATEGORY_NL || cat == UTF8PROC_CATEGORY_NO;
}

bool is_word_char(char32_t c) {
  if (c == '_' || is_numeric(c)) return true;
  const auto cat = category(c);
  return cat >= UTF8PROC_CATEGORY_LU && cat <= UTF8PROC_CATEGORY_LO;
}

bool is_regex_word_char(char32_t c) {
  if (c == 0x200C || c == 0x200D) return true;  // the joiners
  const auto cat = category(c);
  return (cat >= UTF8PROC_CATEGORY_LU && cat <= UTF8PROC_CATEGORY_NL) || cat == UTF8PROC_CATEGORY_PC;
}

bool is_punctuation(char32_t c) {
  if (c < 0x80) return (c >= 0x21 && c <= 0x2F) || (c >= 0x3A && c <= 0x40) || (c >= 0x5B && c <= 0x60) || (c >= 0x7B && c <= 0x7E);
  const auto cat = category(c);
  return cat >= UTF8PROC_CATEGORY_PC && cat <= UTF8PROC_CATEGORY_PO;
}

}  // namespace llmrun::hf
