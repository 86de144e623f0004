// Tokenizers: text to token ids and back. Each kind of tokenizer file is one
// implementation of Tokenizer; StreamDecoder turns ids into text as they
// come. Internal to the library; the C functions of llm/generation.h wrap them.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "llm/generation.h"

namespace llmrun {

class Tokenizer {
 public:
  virtual ~Tokenizer() = default;
  virtual std::vector<int> encode(const std::string& text, bool add_bos) const = 0;
  // A lower bound of the ids that `text` encodes to (without the begin id),
  // found without encoding it, in time linear in its length and without
  // memory in proportion to it: a caller refuses a text that cannot fit a
  // context before the encoding spends memory on it. Any bound is right
  // (0 when the tokenizer cannot tell); a usual one is the text's bytes that
  // only pieces can cover, divided by the longest piece's bytes.
  virtual size_t min_ids(const std::string& text) const = 0;
  // As encode, but the text of a special token stays text: for what a user
  // wrote, which must not open or close a turn.
  virtual std::vector<int> encode_plain(const std::string& text, bool add_bos) const { return encode(text, add_bos); }
  // A rendered chat prompt: as encode, except that inside the `plain`
  // ranges ([begin, end) bytes, in order: what the messages' authors wrote)
  // a special token's text stays text, so that a user who writes
  // "<|im_end|>" cannot end a turn. Tokenizers that match special tokens'
  // text inside a text override it; for the others the whole text is one.
  virtual std::vector<int> encode_chat(const std::string& text, bool add_bos,
                                       const std::vector<std::pair<size_t, size_t>>& plain) const {
    (void)plain;
    return encode(text, add_bos);
  }
  // Throws for an id outside the vocabulary.
  virtual std::string decode(const std::vector<int>& ids) const = 0;
  virtual size_t vocab_size() const = 0;
  virtual int bos_id() const = 0;  // -1: none
  virtual int eos_id() const = 0;  // -1: none
  // Every id that ends a generation (a model may have several).
  virtual std::vector<int> eos_ids() const {
    return eos_id() >= 0 ? std::vector<int>{eos_id()} : std::vector<int>{};
  }
  // The bytes that `id` adds to a text ("" for a control token), for
  // grammars that constrain output byte by byte. By default its decoded text.
  virtual std::string token_bytes(int id) const { return decode({id}); }
};

// The caller's functions as a tokenizer.
std::unique_ptr<Tokenizer> callback_tokenizer(const llm_tokenizer_callbacks& callbacks);

// Opens a tokenizer: a model folder (its tokenizer.json, else its
// tokenizer.model), a tokenizer.json or a SentencePiece model; throws a logged
// error otherwise.
std::unique_ptr<Tokenizer> load_tokenizer(const std::string& path);

// Text of a growing list of ids, handed out piece by piece: a piece never
// ends inside a UTF-8 character, and the pieces together are exactly the
// decoded text of all the ids (for a tokenizer whose decoded text of a list
// only grows at its end once its characters are complete, as SentencePiece's
// does). The ids are decoded with all those before them since the reset, so
// that spacing and characters split over ids decode as in one text; long
// lists are cut to their last ids where those decode on their own as the end
// of the whole.
class StreamDecoder {
 public:
  explicit StreamDecoder(const Tokenizer& tokenizer) : tokenizer_(tokenizer) {}
  // The text that `id` completes; "" while a character is incomplete.
  std::string push(int id);
  // What is still held back, then a fresh start.
  std::string flush();
  // A fresh start after `context` (ids whose text is shown already: they
  // decide the spacing of the first new piece).
  void reset(const std::vector<int>& context = {});

 private:
  std::string settle(bool force);
  void cut_window();
  const Tokenizer& tokenizer_;
  std::vector<int> window_;  // shown ids (or their last ones), then pending ones
  size_t shown_ids_ = 0;     // of window_, the ids whose text is shown
  std::string shown_text_;   // the decoded text of those ids
};

}  // namespace llmrun
