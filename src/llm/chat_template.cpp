#include "chat_template.h"

#include "src/utils/guard.h"

namespace llmrun {

namespace {

// Replaces every "{name}" in `form` by its value, in one left-to-right scan
// so that braces inside a value are never expanded again.
std::string fill(const std::string& form, const std::string& role, const std::string& content) {
  std::string out;
  for (size_t i = 0; i < form.size();) {
    if (form.compare(i, 6, "{role}") == 0) {
      out += role;
      i += 6;
    } else if (form.compare(i, 9, "{content}") == 0) {
      out += content;
      i += 9;
    } else {
      out += form[i++];
    }
  }
  return out;
}

std::string unescape(const std::string& value, const std::string& origin, size_t line) {
  std::string out;
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] != '\\') {
      out += value[i];
      continue;
    }
    const char next = i + 1 < value.size() ? value[++i] : '\0';
    switch (next) {
      case 'n': out += '\n'; break;
      case 't': out += '\t'; break;
      case 's': out += ' '; break;
      case '\\': out += '\\'; break;
      default: minilog::fail_with(origin, ":", line, ": unknown escape \\", next);
    }
  }
  return out;
}

}  // namespace

std::string ChatTemplate::render(const std::vector<std::pair<std::string, std::string>>& messages,
                                 bool add_generation_prompt) const {
  std::string out = begin;
  for (const auto& [role, content] : messages) {
    const auto special = roles.find(role);
    out += fill(special == roles.end() ? message : special->second, role, content);
  }
  if (add_generation_prompt) out += generation;
  return out;
}

ChatTemplate chatml_template() {
  ChatTemplate chat;
  chat.message = "<|im_start|>{role}\n{content}<|im_end|>\n";
  chat.generation = "<|im_start|>assistant\n";
  chat.stop = "<|im_end|>";
  return chat;
}

ChatTemplate parse_chat_template(const std::string& text, const std::string& origin) {
  ChatTemplate chat;
  bool has_message = false;
  size_t line_no = 0;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    ++line_no;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#') continue;
    const size_t eq = line.find('=');
    if (eq == std::string::npos) minilog::fail_with(origin, ":", line_no, ": expected key = value");
    const size_t key_end = line.find_last_not_of(" \t", eq == 0 ? 0 : eq - 1);
    const std::string key = key_end == std::string::npos || key_end < first ? "" : line.substr(first, key_end + 1 - first);
    size_t value_start = line.find_first_not_of(" \t", eq + 1);
    if (value_start == std::string::npos) value_start = line.size();
    const std::string value = unescape(line.substr(value_start), origin, line_no);
    if (key == "begin") {
      chat.begin = value;
    } else if (key == "message") {
      chat.message = value;
      has_message = true;
    } else if (key.compare(0, 8, "message.") == 0 && key.size() > 8) {
      chat.roles[key.substr(8)] = value;
    } else if (key == "generation") {
      chat.generation = value;
    } else if (key == "stop") {
      chat.stop = value;
    } else {
      minilog::fail_with(origin, ":", line_no, ": unknown key \"", key, "\"");
    }
  }
  if (!has_message) minilog::fail_with(origin, ": a chat template needs a \"message\" line");
  return chat;
}

}  // namespace llmrun
