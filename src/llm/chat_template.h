// Chat templates: a conversation rendered into the prompt text a chat model
// was trained on. Two kinds: Jinja templates as model folders ship them
// (tokenizer_config.json, chat_template.jinja), and this library's own
// line format (docs/generation.md). Internal to the library.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace llmrun {

namespace jinja {
class Template;
}

// A rendered conversation, and which of its bytes came from the messages
// (contents, names, arguments) and tools rather than from the template:
// those must be tokenized as plain text, so that a user who writes a
// special token's text cannot end a turn.
struct ChatPrompt {
  std::string text;
  std::vector<std::pair<size_t, size_t>> data_ranges;  // [begin, end), in order and apart
};

// The library's own format: fixed texts around each message.
struct LineTemplate {
  std::string begin;                          // before the first message
  std::string message;                        // one message: {role} and {content} replaced
  std::map<std::string, std::string> roles;   // the message form of particular roles
  std::string generation;                     // opens the assistant's turn
};

class ChatTemplate {
 public:
  explicit ChatTemplate(LineTemplate line, std::string stop);
  // A Jinja template, with the one used when tools are given (null: the
  // same) and the trusted variables (bos_token, eos_token).
  ChatTemplate(std::shared_ptr<const jinja::Template> main, std::shared_ptr<const jinja::Template> tool_use,
               nlohmann::ordered_json settings, std::string stop);

  // `messages`: an array of messages as the OpenAI chat format has them;
  // `tools`: null or an array of tool definitions; `options`: an object of
  // variables for the template (enable_thinking...), of which
  // "add_generation_prompt" (default true) and "documents" (data) are known.
  // Throws a logged error for a failure.
  ChatPrompt apply(const nlohmann::ordered_json& messages, const nlohmann::ordered_json& tools,
                   const nlohmann::ordered_json& options) const;
  // The text that ends a turn (a stop string for generation), "" when none.
  const std::string& stop() const { return stop_; }

 private:
  ChatPrompt apply_lines(const nlohmann::ordered_json& messages, bool add_generation_prompt) const;

  LineTemplate line_;
  std::shared_ptr<const jinja::Template> main_;
  std::shared_ptr<const jinja::Template> tool_use_;
  nlohmann::ordered_json settings_;
  std::string stop_;
};

ChatTemplate chatml_template();
// Reads the line format of docs/generation.md; throws a logged error for a
// malformed file.
ChatTemplate parse_chat_template(const std::string& text, const std::string& origin);
// A model folder, a tokenizer_config.json, a .jinja file or a file of the
// line format; throws a logged error for a file that cannot be read or used.
ChatTemplate load_chat_template(const std::string& path);
// The template of a tokenizer's folder (the folder itself, or the one that
// holds the tokenizer's file); ChatML when that folder has none. Throws a
// logged error for a template that is there but cannot be used.
ChatTemplate tokenizer_chat_template(const std::string& tokenizer_path);

}  // namespace llmrun
