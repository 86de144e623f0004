// One device of the server: a language-model runtime loaded on it and the
// generation session that owns its caches, used by one request at a time.
// Also the tokenizer and chat template that every device shares (read-only
// after loading).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
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
  std::vector<int> encode(const std::string& text, bool add_bos) const;
  // Throws std::invalid_argument for an id outside the vocabulary.
  std::string decode(const std::vector<int>& ids) const;
  size_t vocab_size() const { return llm_tokenizer_vocab_size(handle_.get()); }
  const llm_tokenizer* get() const { return handle_.get(); }

 private:
  std::unique_ptr<llm_tokenizer, TokenizerFree> handle_;
};

// The chat template: a file or folder, or the tokenizer folder's own
// (ChatML when it has none).
class ChatTemplate {
 public:
  ChatTemplate(const std::string& path, const std::string& tokenizer_path);  // path "": the tokenizer's
  // The ids of a conversation given as JSON texts (tools and options may be
  // ""), the messages' own text tokenized as plain text. Throws
  // std::invalid_argument with the template's reason for a conversation it
  // refuses.
  std::vector<int> encode(const std::string& messages, const std::string& tools, const std::string& options,
                          const Tokenizer& tokenizer) const;
  std::string stop() const { return llm_chat_template_stop(handle_.get()); }

 private:
  std::unique_ptr<llm_chat_template, TemplateFree> handle_;
};

// What one generation asks for, checked already.
struct Settings {
  llm_sampling sampling{};
  size_t max_new = 0;  // 0: until the caches are full
  std::vector<std::string> stops;
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

  // Feeds the prompt (reusing what the caches hold when the prompt extends
  // it). Throws std::runtime_error when the library fails.
  void start(const std::vector<int>& prompt, const Settings& settings);
  // Generates one token and appends the text it adds. False once the
  // generation has ended (text may still have grown).
  bool step(std::string& text);
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
  std::vector<int> cached_;
  // The request's stop strings, borrowed by the session while it runs.
  Settings settings_;
  std::vector<const char*> stop_pointers_;
};

}  // namespace vexo::serve
