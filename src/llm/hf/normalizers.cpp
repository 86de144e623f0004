// Normalizers: Unicode forms, case, replacements, prefixes and stripping.
#include <utf8proc.h>

#include <cstdlib>

#include "src/llm/hf/components.h"
#include "src/llm/hf/regex.h"
#include "src/utils/guard.h"
#include "src/llm/hf/text.h"

namespace llmrun::hf {

namespace {

bool is_ascii(const std::string& text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

class UnicodeForm : public Normalizer {
 public:
  explicit UnicodeForm(int options) : options_(options) {}
  void normalize(std::string& text) const override {
    if (is_ascii(text)) return;  // every form leaves ASCII as it is
    utf8proc_uint8_t* out = nullptr;
    const auto length = utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(text.data()),
                                     static_cast<utf8proc_ssize_t>(text.size()), &out,
                                     static_cast<utf8proc_option_t>(options_ | UTF8PROC_STABLE));
    if (length < 0) minilog::fail_with("Cannot normalize the text: ", utf8proc_errmsg(length));
    text.assign(reinterpret_cast<const char*>(out), static_cast<size_t>(length));
    std::free(out);
  }

 private:
  int options_;
};

class Lowercase : public Normalizer {
 public:
  void normalize(std::string& text) const override {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0, n; i < text.size(); i += n) {
      const char32_t c = next_char(text, i, &n);
      if (c == 0x130) {
        out += "i\xCC\x87";  // İ lowercases to two characters
      } else {
        append_utf8(out, static_cast<char32_t>(utf8proc_tolower(static_cast<utf8proc_int32_t>(c))));
      }
    }
    text = std::move(out);
  }
};

class Replace : public Normalizer {
 public:
  explicit Replace(const Json& config) : pattern_(pattern_of(config)), content_(field(config, "content").get<std::string>()) {}
  void normalize(std::string& text) const override { text = pattern_.replace_all(text, content_); }

 private:
  Regex pattern_;
  std::string content_;
};

class Prepend : public Normalizer {
 public:
  explicit Prepend(const Json& config) : prefix_(field(config, "prepend").get<std::string>()) {}
  void normalize(std::string& text) const override {
    if (!text.empty()) text.insert(0, prefix_);
  }

 private:
  std::string prefix_;
};

class Strip : public Normalizer {
 public:
  explicit Strip(const Json& config) : left_(bool_or(config, "strip_left", true)), right_(bool_or(config, "strip_right", true)) {}
  void normalize(std::string& text) const override {
    size_t begin = 0, end = text.size(), n = 0;
    if (left_) {
      while (begin < end && is_whitespace(next_char(text, begin, &n))) begin += n;
    }
    if (right_) {
      while (end > begin) {
        size_t back = end - 1;
        while (back > begin && (static_cast<unsigned char>(text[back]) & 0xC0) == 0x80) --back;
        if (!is_whitespace(next_char(text, back, &n))) break;
        end = back;
      }
    }
    text = text.substr(begin, end - begin);
  }

 private:
  bool left_, right_;
};

class Sequence : public Normalizer {
 public:
  explicit Sequence(const Json& config) : steps_(make_steps<Normalizer>(config, "normalizers", make_normalizer)) {}
  void normalize(std::string& text) const override {
    for (const auto& step : steps_) step->normalize(text);
  }

 private:
  std::vector<std::unique_ptr<Normalizer>> steps_;
};

}  // namespace

std::unique_ptr<Normalizer> make_normalizer(const Json& config) {
  if (config.is_null()) return nullptr;
  const std::string type = config.value("type", std::string());
  if (type == "NFC") return std::make_unique<UnicodeForm>(UTF8PROC_COMPOSE);
  if (type == "NFD") return std::make_unique<UnicodeForm>(UTF8PROC_DECOMPOSE);
  if (type == "NFKC") return std::make_unique<UnicodeForm>(UTF8PROC_COMPOSE | UTF8PROC_COMPAT);
  if (type == "NFKD") return std::make_unique<UnicodeForm>(UTF8PROC_DECOMPOSE | UTF8PROC_COMPAT);
  if (type == "Lowercase") return std::make_unique<Lowercase>();
  if (type == "Replace") return std::make_unique<Replace>(config);
  if (type == "Prepend") return std::make_unique<Prepend>(config);
  if (type == "Strip") return std::make_unique<Strip>(config);
  if (type == "Sequence") return std::make_unique<Sequence>(config);
  unsupported("normalizer", config);
}

}  // namespace llmrun::hf
