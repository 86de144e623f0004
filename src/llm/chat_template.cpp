#include "src/llm/chat_template.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include "src/llm/jinja/template.h"
#include "src/utils/guard.h"

namespace llmrun {

namespace {

using json = nlohmann::ordered_json;
using minilog::fail_with;

// Template files are small; this bounds what a hostile folder can make us read.
constexpr std::uintmax_t kMaxTemplateFile = 64u << 20;

// Read as a stream, so that a pipe serves as well as a file.
std::string read_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) fail_with("Cannot open the chat template ", path);
  std::string text;
  char block[1 << 16];
  while (file.read(block, sizeof block) || file.gcount() > 0) {
    text.append(block, static_cast<size_t>(file.gcount()));
    if (text.size() > kMaxTemplateFile) fail_with("The chat template ", path, " is larger than ", kMaxTemplateFile, " bytes");
  }
  if (file.bad()) fail_with("Cannot read the chat template ", path);
  return text;
}

json read_json(const std::string& path) {
  json document = json::parse(read_file(path), nullptr, false);
  if (document.is_discarded() || !document.is_object()) fail_with(path, ": not a JSON object");
  return document;
}

// Appends `text` to the prompt, marked as data when it came from the caller.
void append(ChatPrompt& prompt, const std::string& text, bool is_data) {
  if (is_data && !text.empty()) prompt.data_ranges.emplace_back(prompt.text.size(), prompt.text.size() + text.size());
  prompt.text += text;
}

// Fills "{role}" and "{content}" in one left-to-right scan, so that braces
// inside a value are never expanded again.
void fill(ChatPrompt& prompt, const std::string& form, const std::string& role, const std::string& content) {
  for (size_t i = 0; i < form.size();) {
    if (form.compare(i, 6, "{role}") == 0) {
      append(prompt, role, true);
      i += 6;
    } else if (form.compare(i, 9, "{content}") == 0) {
      append(prompt, content, true);
      i += 9;
    } else {
      const size_t next = std::min(form.find('{', i + 1), form.size());
      append(prompt, form.substr(i, next - i), false);
      i = next;
    }
  }
}

// A message's content as text: a string, or the text parts of a list.
std::string content_text(const json& content) {
  if (content.is_string()) return content.get<std::string>();
  std::string text;
  if (content.is_array()) {
    for (const json& part : content) {
      if (part.is_object() && part.value("type", "") == "text" && part.contains("text") && part["text"].is_string()) {
        text += part["text"].get<std::string>();
      }
    }
  }
  return text;
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
      default: fail_with(origin, ":", line, ": unknown escape \\", next);
    }
  }
  return out;
}

// A special token as tokenizer_config.json writes it: a string or an object
// with its "content".
std::string token_text(const json& config, const char* key) {
  const auto found = config.find(key);
  if (found == config.end()) return "";
  if (found->is_string()) return found->get<std::string>();
  if (found->is_object() && found->contains("content") && (*found)["content"].is_string()) return (*found)["content"].get<std::string>();
  return "";
}

std::shared_ptr<const jinja::Template> compile(const std::string& source, const std::string& origin) {
  return std::make_shared<const jinja::Template>(source, origin);
}

// A Jinja template from `config`'s "chat_template" (a string, or a list of
// named templates), with the special tokens of `config`.
ChatTemplate from_config(const json& config, const std::string& origin, const std::string* jinja_source) {
  json settings = json::object();
  const std::string bos = token_text(config, "bos_token");
  const std::string eos = token_text(config, "eos_token");
  settings["bos_token"] = bos;
  settings["eos_token"] = eos;
  if (jinja_source) return ChatTemplate(compile(*jinja_source, origin), nullptr, settings, eos);
  const auto found = config.find("chat_template");
  if (found == config.end() || found->is_null()) fail_with(origin, ": there is no \"chat_template\"");
  if (found->is_string()) return ChatTemplate(compile(found->get<std::string>(), origin), nullptr, settings, eos);
  if (!found->is_array()) fail_with(origin, ": \"chat_template\" is neither text nor a list of named templates");
  std::shared_ptr<const jinja::Template> main;
  std::shared_ptr<const jinja::Template> tool_use;
  for (const json& named : *found) {
    if (!named.is_object() || !named.contains("name") || !named["name"].is_string() || !named.contains("template") ||
        !named["template"].is_string()) {
      fail_with(origin, ": a named chat template needs a \"name\" and a \"template\" text");
    }
    const std::string name = named["name"].get<std::string>();
    if (name == "default") main = compile(named["template"].get<std::string>(), origin + " (default)");
    if (name == "tool_use") tool_use = compile(named["template"].get<std::string>(), origin + " (tool_use)");
  }
  if (!main) fail_with(origin, ": the named chat templates have no \"default\"");
  return ChatTemplate(main, tool_use, settings, eos);
}

bool ends_with(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The chat template files of a folder, in the order they are preferred.
bool folder_has_template(const std::filesystem::path& folder) {
  if (std::filesystem::is_regular_file(folder / "chat_template.jinja")) return true;
  const std::filesystem::path config = folder / "tokenizer_config.json";
  if (!std::filesystem::is_regular_file(config)) return false;
  const json document = read_json(config.string());
  return document.contains("chat_template") && !document["chat_template"].is_null();
}

ChatTemplate load_folder(const std::filesystem::path& folder) {
  const std::filesystem::path config_path = folder / "tokenizer_config.json";
  const json config = std::filesystem::is_regular_file(config_path) ? read_json(config_path.string()) : json::object();
  const std::filesystem::path jinja_path = folder / "chat_template.jinja";
  if (std::filesystem::is_regular_file(jinja_path)) {
    const std::string source = read_file(jinja_path.string());
    return from_config(config, jinja_path.string(), &source);
  }
  if (config.empty()) fail_with(folder.string(), ": the folder has no chat template");
  return from_config(config, config_path.string(), nullptr);
}

}  // namespace

ChatTemplate::ChatTemplate(LineTemplate line, std::string stop) : line_(std::move(line)), stop_(std::move(stop)) {}

ChatTemplate::ChatTemplate(std::shared_ptr<const jinja::Template> main, std::shared_ptr<const jinja::Template> tool_use,
                           nlohmann::ordered_json settings, std::string stop)
    : main_(std::move(main)), tool_use_(std::move(tool_use)), settings_(std::move(settings)), stop_(std::move(stop)) {}

ChatPrompt ChatTemplate::apply(const json& messages, const json& tools, const json& options) const {
  if (!messages.is_array()) fail_with("The messages are not a JSON array");
  for (const json& message : messages) {
    if (!message.is_object() || !message.contains("role") || !message["role"].is_string()) {
      fail_with("Each message needs to be a JSON object with a \"role\" text");
    }
  }
  if (!tools.is_null() && !tools.is_array()) fail_with("The tools are not a JSON array");
  if (!options.is_null() && !options.is_object()) fail_with("The chat options are not a JSON object");
  bool add_generation_prompt = true;
  json settings = settings_;
  json data = json::object();
  if (options.is_object()) {
    for (const auto& [key, value] : options.items()) {
      if (key == "documents") {
        data[key] = value;
      } else {
        settings[key] = value;
      }
    }
    const auto flag = options.find("add_generation_prompt");
    if (flag != options.end()) add_generation_prompt = flag->is_boolean() ? flag->get<bool>() : !flag->is_null();
  }
  if (!main_) return apply_lines(messages, add_generation_prompt);
  settings["add_generation_prompt"] = add_generation_prompt;
  data["messages"] = messages;
  const bool has_tools = tools.is_array() && !tools.empty();
  data["tools"] = has_tools ? tools : json();
  const jinja::Template& chosen = has_tools && tool_use_ ? *tool_use_ : *main_;
  jinja::Rendered rendered = chosen.render(data, settings);
  return {std::move(rendered.text), std::move(rendered.data_ranges)};
}

ChatPrompt ChatTemplate::apply_lines(const json& messages, bool add_generation_prompt) const {
  ChatPrompt prompt;
  append(prompt, line_.begin, false);
  for (const json& message : messages) {
    const std::string role = message["role"].get<std::string>();
    const auto special = line_.roles.find(role);
    fill(prompt, special == line_.roles.end() ? line_.message : special->second, role,
         content_text(message.value("content", json())));
  }
  if (add_generation_prompt) append(prompt, line_.generation, false);
  return prompt;
}

ChatTemplate chatml_template() {
  LineTemplate line;
  line.message = "<|im_start|>{role}\n{content}<|im_end|>\n";
  line.generation = "<|im_start|>assistant\n";
  return ChatTemplate(line, "<|im_end|>");
}

ChatTemplate parse_chat_template(const std::string& text, const std::string& origin) {
  LineTemplate chat;
  std::string stop;
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
    if (eq == std::string::npos) fail_with(origin, ":", line_no, ": expected key = value");
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
      stop = value;
    } else {
      fail_with(origin, ":", line_no, ": unknown key \"", key, "\"");
    }
  }
  if (!has_message) fail_with(origin, ": a chat template needs a \"message\" line");
  return ChatTemplate(chat, stop);
}

ChatTemplate load_chat_template(const std::string& path) {
  std::error_code error;
  if (std::filesystem::is_directory(path, error)) return load_folder(path);
  if (ends_with(path, ".jinja")) {
    const std::string source = read_file(path);
    const std::filesystem::path config_path = std::filesystem::path(path).parent_path() / "tokenizer_config.json";
    const json config = std::filesystem::is_regular_file(config_path) ? read_json(config_path.string()) : json::object();
    return from_config(config, path, &source);
  }
  if (ends_with(path, ".json")) return from_config(read_json(path), path, nullptr);
  return parse_chat_template(read_file(path), path);
}

ChatTemplate tokenizer_chat_template(const std::string& tokenizer_path) {
  std::error_code error;
  std::filesystem::path folder = tokenizer_path;
  if (!std::filesystem::is_directory(folder, error)) folder = folder.parent_path();
  if (folder.empty()) folder = ".";
  return folder_has_template(folder) ? load_folder(folder) : chatml_template();
}

}  // namespace llmrun
