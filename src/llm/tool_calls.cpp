#include "src/llm/tool_calls.h"

#include <cctype>

#include "src/utils/guard.h"
#include "src/llm/tokenizer.h"

namespace llmrun {

using minilog::fail_with;
// Ordered: members keep the order they were written in (a schema's
// properties are written in their order).
using json = nlohmann::ordered_json;

namespace {

const char kOpen[] = "<tool_call>", kClose[] = "</tool_call>", kPythonTag[] = "<|python_tag|>";

std::string trimmed(const std::string& text) {
  const size_t begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos) return "";
  return text.substr(begin, text.find_last_not_of(" \t\r\n") - begin + 1);
}

// A call object: a string "name" and the arguments under `key` (an
// object, or a JSON text of one, as some models write them).
bool read_call(const json& value, const char* key, ToolCall& call) {
  if (!value.is_object() || !value.contains("name") || !value["name"].is_string()) return false;
  call.name = value["name"];
  const auto arguments = value.find(key);
  if (arguments == value.end()) {
    call.arguments = json::object();
  } else if (arguments->is_string()) {
    call.arguments = json::parse(arguments->get<std::string>(), nullptr, false);
  } else {
    call.arguments = *arguments;
  }
  return call.arguments.is_object();
}

bool parse_tagged(const std::string& text, ParsedOutput& out) {
  size_t at = text.find(kOpen);
  if (at == std::string::npos) return false;
  out.content = trimmed(text.substr(0, at));
  while (at != std::string::npos) {
    const size_t body = at + sizeof kOpen - 1;
    const size_t close = text.find(kClose, body);
    // A call cut short of its closing tag is read when its object is whole.
    const json value = json::parse(
        text.substr(body, close == std::string::npos ? std::string::npos : close - body), nullptr, false);
    ToolCall call;
    if (!read_call(value, "arguments", call)) return false;
    out.calls.push_back(std::move(call));
    if (close == std::string::npos) break;
    const size_t next = text.find(kOpen, close);
    const std::string between = trimmed(
        text.substr(close + sizeof kClose - 1,
                    next == std::string::npos ? std::string::npos : next - close - sizeof kClose + 1));
    if (!between.empty()) out.content += (out.content.empty() ? "" : "\n") + between;
    at = next;
  }
  return true;
}

// {"name": ..., "parameters": ...}, after "<|python_tag|>" or not; several
// calls separated by ';'.
bool parse_json_form(const std::string& text, ParsedOutput& out) {
  std::string body = trimmed(text);
  if (body.rfind(kPythonTag, 0) == 0) body = trimmed(body.substr(sizeof kPythonTag - 1));
  if (body.empty() || body[0] != '{') return false;
  size_t begin = 0;
  while (begin < body.size()) {
    size_t end = body.find(';', begin);
    const auto part = [&] {
      return json::parse(body.substr(begin, end == std::string::npos ? std::string::npos : end - begin),
                         nullptr, false);
    };
    // A ';' inside a string belongs to the call: extend until the part parses.
    json value = part();
    while (value.is_discarded() && end != std::string::npos) {
      end = body.find(';', end + 1);
      value = part();
    }
    ToolCall call;
    if (!read_call(value, value.contains("parameters") ? "parameters" : "arguments", call)) return false;
    out.calls.push_back(std::move(call));
    if (end == std::string::npos) break;
    begin = end + 1;
    while (begin < body.size() && std::isspace(static_cast<unsigned char>(body[begin]))) ++begin;
  }
  return true;
}

// Rewrites the references of a tool's parameters (to "#" and to its own
// definitions) to places under the call grammar's root, where `prefix`
// names that tool's copies.
void move_refs(json& schema, const std::string& prefix) {
  if (schema.is_array()) {
    for (json& item : schema) move_refs(item, prefix);
    return;
  }
  if (!schema.is_object()) return;
  for (auto& [key, value] : schema.items()) {
    if (key == "$ref" && value.is_string()) {
      const std::string ref = value;
      if (ref == "#") {
        value = "#/$defs/" + prefix;
      } else {
        for (const char* defs : {"#/$defs/", "#/definitions/"}) {
          const std::string head = defs;
          if (ref.compare(0, head.size(), head) == 0)
            value = "#/$defs/" + prefix + "." + ref.substr(head.size());
        }
      }
    } else if (key != "const" && key != "enum") {
      move_refs(value, prefix);
    }
  }
}

}  // namespace

int tool_call_style(const Tokenizer& tokenizer) {
  return tokenizer.vocab_size() && tokenizer.encode(kPythonTag, false).size() == 1 ? LLM_TOOL_CALLS_JSON
                                                                                   : LLM_TOOL_CALLS_TAGGED;
}

ParsedOutput parse_tool_calls(const std::string& text, int style) {
  ParsedOutput out;
  const bool found = style == LLM_TOOL_CALLS_JSON ? parse_json_form(text, out) : parse_tagged(text, out);
  if (!found) return {text, {}};
  return out;
}

CallGrammar tool_call_grammar(const json& tools, const std::string& name, int style) {
  if (style != LLM_TOOL_CALLS_TAGGED && style != LLM_TOOL_CALLS_JSON)
    fail_with("Unknown tool call style ", style);
  if (!tools.is_array()) fail_with("The tools are not a JSON array");
  const char* key = style == LLM_TOOL_CALLS_JSON ? "parameters" : "arguments";
  json calls = json::array(), definitions = json::object();
  for (const json& tool : tools) {
    const json* function = tool.is_object() && tool.contains("function") ? &tool["function"] : nullptr;
    if (!function || !function->is_object() || !function->contains("name") ||
        !(*function)["name"].is_string())
      fail_with("A tool is not {\"type\": \"function\", \"function\": {\"name\": ...}}");
    const std::string tool_name = (*function)["name"];
    if (!name.empty() && tool_name != name) continue;
    json parameters = function->value("parameters", json{{"type", "object"}});
    // The parameters' own definitions (and the parameters, for "#") go to
    // the root, which references resolve against.
    const std::string prefix = "tool" + std::to_string(calls.size());
    move_refs(parameters, prefix);
    for (const char* defs : {"$defs", "definitions"}) {
      if (!parameters.is_object() || !parameters.contains(defs)) continue;
      if (parameters[defs].is_object()) {
        for (const auto& [def, sub] : parameters[defs].items()) definitions[prefix + "." + def] = sub;
      }
      parameters.erase(defs);
    }
    definitions[prefix] = parameters;
    calls.push_back({{"type", "object"},
                     {"properties", {{"name", {{"const", tool_name}}}, {key, parameters}}},
                     {"required", {"name", key}},
                     {"additionalProperties", false}});
  }
  if (calls.empty()) fail_with(name.empty() ? "No tools are given" : "No tool is named \"" + name + "\"");
  CallGrammar grammar;
  grammar.schema = {{"anyOf", calls}, {"$defs", definitions}};
  if (style == LLM_TOOL_CALLS_TAGGED) {
    grammar.opening = kOpen;
    grammar.before = std::string(kOpen) + "\n";
    grammar.after = std::string("\n") + kClose;
  } else {
    grammar.opening = kPythonTag;
  }
  return grammar;
}

}  // namespace llmrun
