// Chat templates: a list of (role, content) messages rendered into the
// prompt text a chat model was trained on. Internal to the library.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace llmrun {

struct ChatTemplate {
  std::string begin;                          // before the first message
  std::string message;                        // one message: {role} and {content} replaced
  std::map<std::string, std::string> roles;   // the message form of particular roles
  std::string generation;                     // opens the assistant's turn
  std::string stop;                           // ends a turn

  std::string render(const std::vector<std::pair<std::string, std::string>>& messages,
                     bool add_generation_prompt) const;
};

ChatTemplate chatml_template();
// Reads the template file format of docs/generation.md; throws a logged
// error for a malformed file.
ChatTemplate parse_chat_template(const std::string& text, const std::string& origin);

}  // namespace llmrun
