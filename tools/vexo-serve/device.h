// One device of the server: a language-model runtime loaded on it and the
// generation session that owns its caches, used by one request at a time.
// Also the tokenizer and chat template that every device shares (read-only
// after loading).
#pragma once

#include <cstddef>
#include <cstdint>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "llm/generation.h"
#include "llm/llmruntime.h"

namespace vexo::serve {

struct TokenizerFree {
  void operator()(llm_tokenizer* tokenizer) const { llm_tokenizer_free(tokenizer); }
};
struct TemplateFree {
  void operator()(llm_chat_template* chat_template) const { llm_chat_template_free(chat_template); }
};

// The tokenizer, shared by every device and request.
class Tokenizer {
 public:
  explicit Tokenizer(const std::string& path);
  // At most kEncodings texts are encoded at once (the others wait): an
  // encoding holds memory in proportion to its text.
  static constexpr size_t kEncodings = 2;
  std::vector<int> encode(const std::string& text, bool add_bos) const;
  // Runs an encoding with llm_tokenizer_encode's protocol in one of the slots.
  std::vector<int> encode_in_slot(const std::function<long(int*, size_t)>& encode) const;
  // A lower bound of the ids `text` takes, found without encoding it.
  size_t min_tokens(const std::string& text) const { return llm_tokenizer_min_tokens(handle_.get(), text.c_str()); }
  // Throws std::invalid_argument for an id outside the vocabulary.
  std::string decode(const std::vector<int>& ids) const;
  size_t vocab_size() const { return llm_tokenizer_vocab_size(handle_.get()); }
  const llm_tokenizer* get() const { return handle_.get(); }

 private:
  std::unique_ptr<llm_tokenizer, TokenizerFree> handle_;
  mutable std::mutex mutex_;
  mutable std::condition_variable finished_;
  mutable size_t encoding_ = 0;
};

// The chat template: a file or folder, or the tokenizer folder's own
// (ChatML when it has none).
class ChatTemplate {
 public:
  ChatTemplate(const std::string& path, const std::string& tokenizer_path);  // path "": the tokenizer's
  // The ids of a conversation given as JSON texts (tools and options may be
  // ""), the messages' own text tokenized as plain text. Throws
  // std::invalid_argument with the template's reason for a conversation it
  // refuses. `check` sees the rendered text before it is encoded (and may
  // throw to refuse it).
  std::vector<int> encode(const std::string& messages, const std::string& tools, const std::string& options,
                          const Tokenizer& tokenizer, const std::function<void(const std::string&)>& check) const;
  std::string stop() const { return llm_chat_template_stop(handle_.get()); }

 private:
  std::unique_ptr<llm_chat_template, TemplateFree> handle_;
};

// What one generation asks for, checked already.
struct Settings {
  llm_sampling sampling{};
  std::vector<llm_logit_bias> logit_bias;  // lent to sampling while a generation runs
  size_t max_new = 0;  // 0: until the caches are full
  std::vector<std::string> stops;
  std::shared_ptr<llm_grammar> grammar;  // null: free output
};

// A generated token's log-probability and the likeliest alternatives.
struct TokenLogprobs {
  llm_logprob chosen{};
  std::vector<llm_logprob> top;
  size_t text_offset = 0;  // where the token's text begins in the choice's text
};

struct Stats {
  size_t prompt_tokens = 0;
  size_t reused_tokens = 0;
  size_t generated_tokens = 0;
};

class Device {
 public:
  Device(const std::string& model, int id, const Tokenizer& tokenizer);
  ~Device();
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  int id() const { return id_; }
  size_t capacity() const { return capacity_; }
  int head_kind() const { return llm_get_head_kind(llm_); }
  // Ids of the model's vocabulary: the head's for logits, else the tokenizer's.
  size_t vocab_size() const { return vocab_; }

  // Feeds the prompt (reusing what the caches hold when the prompt extends
  // it). Throws std::runtime_error when the library fails.
  void start(const std::vector<int>& prompt, const Settings& settings);
  // Generates one token and appends the text it adds. False once the
  // generation has ended (text may still have grown).
  bool step(std::string& text);
  // The token the last step generated (-1: none) and, when the request
  // asked for them, its log-probabilities.
  int last_token() const { return last_token_; }
  bool logprobs(TokenLogprobs& out) const;
  // "stop" or "length", the API's names for how the generation ended.
  const char* finish_reason() const;
  Stats stats() const;
  // The tokens the caches hold, as of the end of the last generation.
  const std::vector<int>& cached() const { return cached_; }
  // Records what the caches hold; called when the device is handed back.
  void end();

 private:
  int id_;
  llmbase llm_ = nullptr;
  llm_session* session_ = nullptr;
  size_t capacity_ = 0;
  size_t vocab_ = 0;
  int last_token_ = -1;
  std::vector<int> cached_;
  // The request's stop strings, borrowed by the session while it runs.
  Settings settings_;
  std::vector<const char*> stop_pointers_;
};

}  // namespace vexo::serve
