// Tokenizers: text to token ids and back. Each kind of tokenizer file is one
// implementation of Tokenizer; StreamDecoder turns ids into text as they
// come. Internal to the library; the C functions of llm/generation.h wrap them.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "llm/generation.h"

namespace llmrun {

class Tokenizer {
 public:
  virtual ~Tokenizer() = default;
  virtual std::vector<int> encode(const std::string& text, bool add_bos) const = 0;
  // Throws for an id outside the vocabulary.
  virtual std::string decode(const std::vector<int>& ids) const = 0;
  virtual size_t vocab_size() const = 0;
  virtual int bos_id() const = 0;  // -1: none
  virtual int eos_id() const = 0;  // -1: none
  // The bytes that `id` adds to a text ("" for a control token), for
  // grammars that constrain output byte by byte. By default its decoded text.
  virtual std::string token_bytes(int id) const { return decode({id}); }
};

// The caller's functions as a tokenizer.
std::unique_ptr<Tokenizer> callback_tokenizer(const llm_tokenizer_callbacks& callbacks);

// Opens a tokenizer file of a supported kind; throws a logged error otherwise.
std::unique_ptr<Tokenizer> load_tokenizer(const std::string& path);

// Text of a growing list of ids, handed out piece by piece: a piece never
// ends inside a UTF-8 character, and the pieces together are the decoded
// text of all the ids.
class StreamDecoder {
 public:
  explicit StreamDecoder(const Tokenizer& tokenizer) : tokenizer_(tokenizer) {}
  // The text that `id` completes; "" while a character is incomplete.
  std::string push(int id);
  // What is still held back, then a fresh start.
  std::string flush();
  // A fresh start after `context` (ids whose text is shown already: their
  // last few decide the spacing of the first new piece).
  void reset(const std::vector<int>& context = {});

 private:
  std::string settle(bool force);
  const Tokenizer& tokenizer_;
  std::vector<int> context_;  // the last ids already shown, for spacing
  std::vector<int> pending_;  // ids whose text is not shown yet
};

}  // namespace llmrun
