// Decoders: the steps from token strings back to text.
#include "src/llm/hf/components.h"
#include "src/llm/hf/regex.h"
#include "src/utils/guard.h"
#include "src/llm/hf/text.h"

namespace llmrun::hf {

namespace {

std::string replaced(const std::string& text, const std::string& what, const std::string& content) {
  if (what.empty()) return text;
  std::string out;
  size_t from = 0, at;
  while ((at = text.find(what, from)) != std::string::npos) {
    out.append(text, from, at - from).append(content);
    from = at + what.size();
  }
  return out.append(text, from, std::string::npos);
}

class ByteLevel : public Decoder {
 public:
  void decode(std::vector<std::string>& tokens) const override {
    std::string bytes;
    for (const std::string& token : tokens) append_bytes(token, bytes);
    tokens = {valid_utf8(bytes)};
  }
  void decode_inner(std::string& token, bool& fused) const override {
    std::string bytes;
    append_bytes(token, bytes);
    token = std::move(bytes);
    fused = true;
  }

 private:
  // The bytes the alphabet's characters stand for; other characters as they are.
  static void append_bytes(const std::string& token, std::string& bytes) {
    for (size_t i = 0, n; i < token.size(); i += n) {
      const char32_t c = next_char(token, i, &n);
      const int byte = char_byte(c);
      if (byte >= 0) bytes += static_cast<char>(byte);
      else bytes.append(token, i, n);
    }
  }
};

class Metaspace : public Decoder {
 public:
  explicit Metaspace(const Json& config)
      : replacement_(string_or(config, "replacement", "\xE2\x96\x81")),
        strip_first_(string_or(config, "prepend_scheme", bool_or(config, "add_prefix_space", true) ? "always" : "never") != "never") {}
  void decode(std::vector<std::string>& tokens) const override {
    for (size_t i = 0; i < tokens.size(); ++i) tokens[i] = replaced(tokens[i], replacement_, i == 0 && strip_first_ ? "" : " ");
  }
  void decode_inner(std::string& token, bool&) const override { token = replaced(token, replacement_, " "); }

 private:
  std::string replacement_;
  bool strip_first_;
};

class Replace : public Decoder {
 public:
  explicit Replace(const Json& config) : pattern_(pattern_of(config)), content_(field(config, "content").get<std::string>()) {}
  void decode(std::vector<std::string>& tokens) const override {
    for (std::string& token : tokens) token = pattern_.replace_all(token, content_);
  }
  void decode_inner(std::string& token, bool&) const override { token = pattern_.replace_all(token, content_); }

 private:
  Regex pattern_;
  std::string content_;
};

// Runs of "<0xAB>" tokens become the text of their bytes, or one U+FFFD per
// byte when those bytes are not valid UTF-8.
class ByteFallback : public Decoder {
 public:
  void decode(std::vector<std::string>& tokens) const override {
    std::vector<std::string> out;
    std::string bytes;
    size_t count = 0;
    const auto flush = [&]() {
      if (count == 0) return;
      if (valid_utf8(bytes) == bytes) {
        out.push_back(bytes);
      } else {
        for (size_t k = 0; k < count; ++k) out.push_back("\xEF\xBF\xBD");
      }
      bytes.clear();
      count = 0;
    };
    for (std::string& token : tokens) {
      const int byte = byte_of(token);
      if (byte >= 0) {
        bytes += static_cast<char>(byte);
        ++count;
      } else {
        flush();
        out.push_back(std::move(token));
      }
    }
    flush();
    tokens = std::move(out);
  }
  // A byte token is that byte, whether or not it completes a character.
  void decode_inner(std::string& token, bool&) const override {
    const int byte = byte_of(token);
    if (byte >= 0) token = std::string(1, static_cast<char>(byte));
  }

 private:
  static int byte_of(const std::string& token) {
    if (token.size() != 6 || token.compare(0, 3, "<0x") != 0 || token[5] != '>') return -1;
    int value = 0;
    for (size_t i = 3; i < 5; ++i) {
      const char c = token[i];
      const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
      if (digit < 0) return -1;
      value = value * 16 + digit;
    }
    return value;
  }
};

class Fuse : public Decoder {
 public:
  void decode(std::vector<std::string>& tokens) const override {
    std::string all;
    for (const std::string& token : tokens) all += token;
    tokens = {all};
  }
  void decode_inner(std::string&, bool& fused) const override { fused = true; }
};

class Strip : public Decoder {
 public:
  explicit Strip(const Json& config)
      : content_(field(config, "content").get<std::string>()),
        start_(config.value("start", 0UL)),
        stop_(config.value("stop", 0UL)) {}
  void decode(std::vector<std::string>& tokens) const override {
    for (std::string& token : tokens) strip(token);
  }
  // Inside a joined text the token has no ends of its own.
  void decode_inner(std::string& token, bool& fused) const override {
    if (!fused) strip(token);
  }

 private:
  void strip(std::string& token) const {
    if (content_.empty()) return;
    size_t begin = 0, end = token.size();
    for (size_t k = 0; k < start_ && token.compare(begin, content_.size(), content_) == 0; ++k) begin += content_.size();
    for (size_t k = 0; k < stop_ && end >= begin + content_.size() && token.compare(end - content_.size(), content_.size(), content_) == 0; ++k) {
      end -= content_.size();
    }
    token = token.substr(begin, end - begin);
  }
  std::string content_;
  size_t start_, stop_;
};

class WordPiece : public Decoder {
 public:
  explicit WordPiece(const Json& config) : prefix_(string_or(config, "prefix", "##")), cleanup_(bool_or(config, "cleanup", true)) {}
  void decode(std::vector<std::string>& tokens) const override {
    for (size_t i = 0; i < tokens.size(); ++i) piece(tokens[i], i == 0);
  }
  void decode_inner(std::string& token, bool&) const override { piece(token, false); }

 private:
  // A continuation loses its prefix; another word after the first gets a space.
  void piece(std::string& token, bool first) const {
    static const std::pair<const char*, const char*> kCleanup[] = {
        {" .", "."}, {" ?", "?"}, {" !", "!"}, {" ,", ","}, {" ' ", "'"}, {" n't", "n't"},
        {" 'm", "'m"}, {" do not", " don't"}, {" 's", "'s"}, {" 've", "'ve"}, {" 're", "'re"}};
    if (!first) {
      if (token.compare(0, prefix_.size(), prefix_) == 0) token.erase(0, prefix_.size());
      else token.insert(0, " ");
    }
    if (cleanup_) {
      for (const auto& [from, to] : kCleanup) token = replaced(token, from, to);
    }
  }
  std::string prefix_;
  bool cleanup_;
};

class BpeDecoder : public Decoder {
 public:
  explicit BpeDecoder(const Json& config) : suffix_(string_or(config, "suffix", "</w>")) {}
  void decode(std::vector<std::string>& tokens) const override {
    for (size_t i = 0; i < tokens.size(); ++i) tokens[i] = replaced(tokens[i], suffix_, i + 1 == tokens.size() ? "" : " ");
  }
  void decode_inner(std::string& token, bool&) const override { token = replaced(token, suffix_, " "); }

 private:
  std::string suffix_;
};

class Sequence : public Decoder {
 public:
  explicit Sequence(const Json& config) : steps_(make_steps<Decoder>(config, "decoders", make_decoder)) {}
  void decode(std::vector<std::string>& tokens) const override {
    for (const auto& step : steps_) step->decode(tokens);
  }
  void decode_inner(std::string& token, bool& fused) const override {
    for (const auto& step : steps_) step->decode_inner(token, fused);
  }

 private:
  std::vector<std::unique_ptr<Decoder>> steps_;
};

}  // namespace

std::unique_ptr<Decoder> make_decoder(const Json& config) {
  if (config.is_null()) return nullptr;
  const std::string type = config.value("type", std::string());
  if (type == "ByteLevel") return std::make_unique<ByteLevel>();
  if (type == "Metaspace") return std::make_unique<Metaspace>(config);
  if (type == "Replace") return std::make_unique<Replace>(config);
  if (type == "ByteFallback") return std::make_unique<ByteFallback>();
  if (type == "Fuse") return std::make_unique<Fuse>();
  if (type == "Strip") return std::make_unique<Strip>(config);
  if (type == "WordPiece") return std::make_unique<WordPiece>(config);
  if (type == "BPEDecoder") return std::make_unique<BpeDecoder>(config);
  if (type == "Sequence") return std::make_unique<Sequence>(config);
  unsupported("decoder", config);
}

}  // namespace llmrun::hf
