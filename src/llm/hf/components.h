// The stages of a tokenizer.json pipeline, each built from its JSON object.
// A stage the file names and this library lacks is refused by name.
#pragma once

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include <nlohmann/json.hpp>

namespace llmrun::hf {

using Json = nlohmann::json;

// Text before the model: changed in place.
class Normalizer {
 public:
  virtual ~Normalizer() = default;
  virtual void normalize(std::string& text) const = 0;
};

// A piece of text on its way to the model. `first`: it starts the input, as
// the "first" prepend scheme needs to know.
struct Piece {
  std::string text;
  bool first = false;
};

class PreTokenizer {
 public:
  virtual ~PreTokenizer() = default;
  virtual void split(std::vector<Piece>& pieces) const = 0;
};

// Vocabulary and the way from a pre-tokenized piece to ids.
class Model {
 public:
  virtual ~Model() = default;
  virtual void tokenize(const std::string& piece, std::vector<int>& ids) const = 0;
  // The id of a token, -1 when it is not in the vocabulary.
  virtual int id_of(const std::string& token) const = 0;
  // The token of an id, null when none.
  virtual const std::string* token_of(int id) const = 0;
  virtual size_t size() const = 0;  // the highest id plus one
};

// Special tokens added around the ids of a text.
class PostProcessor {
 public:
  virtual ~PostProcessor() = default;
  virtual void add_special(std::vector<int>& ids) const = 0;
  // The id put first, -1 when none.
  virtual int first_special() const { return -1; }
};

// Tokens back to text, as a chain of steps over the token strings.
class Decoder {
 public:
  virtual ~Decoder() = default;
  virtual void decode(std::vector<std::string>& tokens) const = 0;
  // The step on one token in the middle of a text (neither first nor last),
  // leaving bytes that are not UTF-8 on their own as they are: the bytes the
  // token adds to a text. `fused`: an earlier step joined the tokens into one
  // text, whose ends alone a later step may strip.
  virtual void decode_inner(std::string& token, bool& fused) const = 0;
};

// Each returns null for a JSON null.
std::unique_ptr<Normalizer> make_normalizer(const Json& config);
std::unique_ptr<PreTokenizer> make_pre_tokenizer(const Json& config);
std::unique_ptr<Model> make_model(const Json& config);
// `token_ids` resolves the names the processor refers to.
std::unique_ptr<PostProcessor> make_post_processor(const Json& config,
                                                   const std::unordered_map<std::string, int>& token_ids);
std::unique_ptr<Decoder> make_decoder(const Json& config);

// Helpers for the builders.
const Json& field(const Json& config, const char* name);  // throws when missing
std::string string_or(const Json& config, const char* name, const std::string& fallback);
bool bool_or(const Json& config, const char* name, bool fallback);
[[noreturn]] void unsupported(const char* stage, const Json& config);
// The "pattern" of Split, Replace: {"String": s} or {"Regex": r}, as a regex.
std::string pattern_of(const Json& config);

// Counts the nesting of Sequence stages while they are built, and refuses a
// file nested deeper than any real one (which would exhaust the stack).
class NestingGuard {
 public:
  NestingGuard();
  ~NestingGuard();
  NestingGuard(const NestingGuard&) = delete;
  NestingGuard& operator=(const NestingGuard&) = delete;
};

// The stages of a Sequence, from the list `name` of its configuration.
template <class Stage, class Make>
std::vector<std::unique_ptr<Stage>> make_steps(const Json& config, const char* name, Make make) {
  const NestingGuard guard;
  std::vector<std::unique_ptr<Stage>> steps;
  for (const Json& step : field(config, name)) {
    if (auto made = make(step)) steps.push_back(std::move(made));
  }
  return steps;
}

// The byte-level alphabet: each byte as a printable character (UTF-8).
const std::string& byte_char(unsigned char byte);
// The byte a character of that alphabet stands for, -1 for another character.
int char_byte(char32_t c);

}  // namespace llmrun::hf
