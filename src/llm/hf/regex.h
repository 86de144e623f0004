// A compiled pattern with Unicode classes (PCRE2, UTF + UCP, JIT when the
// machine allows it), read with the meaning tokenizer.json files give it.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace llmrun::hf {

class Regex {
 public:
  // Throws a logged error naming the pattern when it does not compile.
  explicit Regex(const std::string& pattern);
  ~Regex();
  Regex(const Regex&) = delete;
  Regex& operator=(const Regex&) = delete;
  // Byte ranges [begin, end) of the successive non-overlapping matches.
  std::vector<std::pair<size_t, size_t>> find_all(const std::string& text) const;
  // `text` with every match replaced by `content`.
  std::string replace_all(const std::string& text, const std::string& content) const;
  // Escapes `literal` so that it matches itself.
  static std::string quote(const std::string& literal);

 private:
  struct Code;
  std::unique_ptr<Code> code_;
};

}  // namespace llmrun::hf
