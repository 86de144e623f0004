#include "src/llm/hf/components.h"

#include <array>

#include "src/llm/hf/regex.h"
#include "src/utils/guard.h"
#include "src/llm/hf/text.h"

namespace llmrun::hf {

const Json& field(const Json& config, const char* name) {
  const auto found = config.find(name);
  if (found == config.end()) minilog::fail_with("The tokenizer's ", config.value("type", std::string("stage")), " lacks \"", name, "\"");
  return *found;
}

std::string string_or(const Json& config, const char* name, const std::string& fallback) {
  const auto found = config.find(name);
  return found != config.end() && found->is_string() ? found->get<std::string>() : fallback;
}

bool bool_or(const Json& config, const char* name, bool fallback) {
  const auto found = config.find(name);
  return found != config.end() && found->is_boolean() ? found->get<bool>() : fallback;
}

void unsupported(const char* stage, const Json& config) {
  const std::string type = config.is_object() ? config.value("type", std::string("(no type)")) : config.dump();
  minilog::fail_with("The tokenizer uses the ", stage, " \"", type, "\", which this library does not have");
}

std::string pattern_of(const Json& config) {
  const Json& pattern = field(config, "pattern");
  if (pattern.contains("String")) return Regex::quote(pattern["String"].get<std::string>());
  if (pattern.contains("Regex")) return pattern["Regex"].get<std::string>();
  minilog::fail_with("A tokenizer pattern is neither a String nor a Regex: ", pattern.dump());
}

namespace {
thread_local int nesting = 0;
constexpr int kMaxNesting = 32;
}  // namespace

NestingGuard::NestingGuard() {
  if (nesting >= kMaxNesting) minilog::fail_with("The tokenizer's stages are nested more than ", kMaxNesting, " deep");
  ++nesting;
}

NestingGuard::~NestingGuard() { --nesting; }

namespace {

// Printable bytes stand for themselves; the others take the code points from
// U+0100 on, in order.
struct ByteAlphabet {
  std::array<std::string, 256> chars;
  std::array<int, 324> bytes;  // by code point; the highest is U+0143
  ByteAlphabet() {
    bytes.fill(-1);
    char32_t next = 0x100;
    for (int b = 0; b < 256; ++b) {
      const bool printable = (b >= 0x21 && b <= 0x7E) || (b >= 0xA1 && b <= 0xAC) || b >= 0xAE;
      const char32_t c = printable ? static_cast<char32_t>(b) : next++;
      append_utf8(chars[b], c);
      bytes[c] = b;
    }
  }
};

const ByteAlphabet& alphabet() {
  static const ByteAlphabet instance;
  return instance;
}

}  // namespace

const std::string& byte_char(unsigned char byte) { return alphabet().chars[byte]; }

int char_byte(char32_t c) { return c < alphabet().bytes.size() ? alphabet().bytes[c] : -1; }

}  // namespace llmrun::hf
