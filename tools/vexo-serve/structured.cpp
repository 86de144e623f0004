#include "structured.h"

#include <algorithm>

#include "device.h"
#include "requests.h"
#include "responses.h"
#include "vexo.h"

namespace vexo::serve {

using nlohmann::json;

namespace {

// A schema's text is bounded so that what one request makes the server
// compile (and keep in the cache) stays small.
constexpr size_t kMaxSchemaBytes = 64 << 10;

const json* member(const json& object, const char* name) {
  const auto it = object.find(name);
  return it == object.end() || it->is_null() ? nullptr : &*it;
}

constexpr size_t kMaxTools = 128;
const char kChoices[] =
    "must be \"none\", \"auto\", \"required\" or {\"type\": \"function\", \"function\": {\"name\": ...}}";

[[noreturn]] void wrong_format(const std::string& why) {
  throw ApiError::invalid("'response_format' " + why, "response_format");
}

[[noreturn]] void wrong_tools(const std::string& why, const char* field = "tools") {
  throw ApiError::invalid("'" + std::string(field) + "' " + why, field);
}

// response_format: text, JSON (an object) or JSON that follows a schema.
void parse_format(const json& format, Structure& structure, std::vector<std::string>& logits_fields) {
  if (!format.is_object() || !member(format, "type") || !format["type"].is_string())
    wrong_format("must be an object with a 'type': \"text\", \"json_object\" or \"json_schema\"");
  const std::string type = format["type"];
  if (type == "text") return;
  if (type == "json_object") {
    structure.kind = LLM_GRAMMAR_JSON_SCHEMA;
    structure.schema = R"({"type": "object"})";
  } else if (type == "json_schema") {
    const json* named = member(format, "json_schema");
    if (!named || !named->is_object()) wrong_format("of type \"json_schema\" needs a 'json_schema' object");
    const json* name = member(*named, "name");
    if (!name || !name->is_string()) wrong_format("needs 'json_schema.name', a string");
    if (const json* strict = member(*named, "strict"); strict && !strict->is_boolean())
      wrong_format("has a 'json_schema.strict' that is not true or false");
    const json* schema = member(*named, "schema");
    // No schema: any JSON value (the API allows leaving it out).
    if (schema && !schema->is_object() && !schema->is_boolean())
      wrong_format("has a 'json_schema.schema' that is not a JSON Schema (an object)");
    structure.kind = schema ? LLM_GRAMMAR_JSON_SCHEMA : LLM_GRAMMAR_JSON;
    if (schema) structure.schema = schema->dump();
    if (structure.schema.size() > kMaxSchemaBytes)
      wrong_format("has a schema over " + std::to_string(kMaxSchemaBytes) + " bytes");
  } else {
    wrong_format("has the unknown type \"" + type + "\" (\"text\", \"json_object\" or \"json_schema\")");
  }
  logits_fields.push_back("response_format");
}

// The names of the tools, each checked to be a function with a name and, when
// given, an object of parameters.
std::vector<std::string> tool_names(const json& tools) {
  if (!tools.is_array() || tools.empty() || tools.size() > kMaxTools)
    wrong_tools("must be an array of 1 to " + std::to_string(kMaxTools) + " tools");
  if (tools.dump().size() > kMaxSchemaBytes)
    wrong_tools("are over " + std::to_string(kMaxSchemaBytes) + " bytes");
  std::vector<std::string> names;
  for (const json& tool : tools) {
    const json* function = tool.is_object() ? member(tool, "function") : nullptr;
    if (!tool.is_object() || tool.value("type", json()) != "function" || !function ||
        !function->is_object() || !member(*function, "name") || !(*function)["name"].is_string())
      wrong_tools("must hold objects {\"type\": \"function\", \"function\": {\"name\": ...}}");
    if (const json* parameters = member(*function, "parameters"); parameters && !parameters->is_object())
      wrong_tools("has a function whose 'parameters' is not a JSON Schema (an object)");
    names.push_back((*function)["name"]);
  }
  return names;
}

// Tools and tool_choice of a chat.
void parse_tools(const json& body, Structure& structure, std::vector<std::string>& logits_fields) {
  const json* tools = member(body, "tools");
  const json* choice = member(body, "tool_choice");
  if (!tools) {
    if (choice && *choice != "none") wrong_tools("needs 'tools'", "tool_choice");
    return;
  }
  const std::vector<std::string> names = tool_names(*tools);
  std::string mode = "auto";
  if (choice && choice->is_string()) {
    mode = *choice;
    if (mode != "none" && mode != "auto" && mode != "required") wrong_tools(kChoices, "tool_choice");
  } else if (choice) {
    const json* function = choice->is_object() ? member(*choice, "function") : nullptr;
    if (choice->value("type", json()) != "function" || !function || !function->is_object() ||
        !member(*function, "name") || !(*function)["name"].is_string())
      wrong_tools(kChoices, "tool_choice");
    structure.named = (*function)["name"];
    if (std::find(names.begin(), names.end(), structure.named) == names.end())
      wrong_tools("names the function \"" + structure.named + "\", which is not among the tools",
                  "tool_choice");
    mode = "required";
  }
  if (mode == "none") return;
  if (structure.kind)
    throw ApiError::invalid(
        "'response_format' cannot be combined with tools unless 'tool_choice' is \"none\"",
        "response_format");
  structure.tools = true;
  structure.kind = kToolCallGrammar;
  structure.schema = tools->dump();
  structure.field = "tool_choice";
  structure.lazy = mode == "auto";
  if (!structure.lazy) logits_fields.push_back("tool_choice");
}

}  // namespace

Structure parse_structure(const json& body, const std::string& raw, bool chat,
                          std::vector<std::string>& logits_fields) {
  Structure structure;
  if (const json* format = member(body, "response_format")) parse_format(*format, structure, logits_fields);
  if (chat) parse_tools(body, structure, logits_fields);
  // The texts the grammar is compiled from keep the members in the order
  // the request wrote them: objects are generated in that order.
  if (structure.kind == LLM_GRAMMAR_JSON_SCHEMA && body["response_format"]["type"] == "json_schema") {
    structure.schema = nlohmann::ordered_json::parse(raw)["response_format"]["json_schema"]["schema"].dump();
  } else if (structure.kind == kToolCallGrammar) {
    structure.schema = nlohmann::ordered_json::parse(raw)["tools"].dump();
  }
  return structure;
}

Grammar GrammarCache::get(const Tokenizer& tokenizer, const Structure& structure) {
  if (!structure.kind) return nullptr;
  const Key key{tokenizer.get(), structure.kind, structure.schema, structure.named, structure.lazy};
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = index_.find(key);
    if (found != index_.end()) {
      recent_.splice(recent_.begin(), recent_, found->second);
      return found->second->second;
    }
  }
  // Compiled outside the lock: other requests need not wait for it (two
  // that ask for the same new schema at once both compile it).
  Grammar grammar = compile(key, structure.field);
  std::lock_guard<std::mutex> lock(mutex_);
  if (index_.count(key)) return grammar;
  recent_.emplace_front(key, grammar);
  index_[key] = recent_.begin();
  if (recent_.size() > capacity_) {
    index_.erase(recent_.back().first);
    recent_.pop_back();
  }
  return grammar;
}

Grammar GrammarCache::compile(const Key& key, const char* field) {
  const auto& [handle, kind, text, named, lazy] = key;
  Grammar grammar(kind == kToolCallGrammar
                      ? llm_grammar_compile_tool_call(handle, llm_tool_call_style(handle), text.c_str(),
                                                      named.empty() ? nullptr : named.c_str(), lazy ? 1 : 0)
                      : llm_grammar_compile(handle, kind, text.empty() ? nullptr : text.c_str()),
                  GrammarFree());
  if (!grammar) throw ApiError::invalid(vexo_get_last_error(), field);
  return grammar;
}

ToolCalls read_tool_calls(const std::string& text, int style, const ResponseHead& head, size_t index) {
  std::vector<char> out(text.size() + 256);
  long length = llm_tool_calls_parse(text.c_str(), style, out.data(), out.size());
  if (length >= static_cast<long>(out.size())) {
    out.resize(static_cast<size_t>(length) + 1);
    length = llm_tool_calls_parse(text.c_str(), style, out.data(), out.size());
  }
  if (length < 0) throw std::runtime_error(vexo_get_last_error());
  // Ordered: the arguments' members stay in the order the model wrote them.
  const nlohmann::ordered_json parsed = nlohmann::ordered_json::parse(out.data(), out.data() + length);
  ToolCalls read;
  read.content = parsed["content"];
  // Ids unique to the response: its own id's number, the choice and the call.
  const std::string serial = head.id.substr(head.id.find('-') + 1);
  for (const nlohmann::ordered_json& call : parsed["tool_calls"]) {
    read.calls.push_back(
        {{"id", "call_" + serial + "_" + std::to_string(index) + "_" + std::to_string(read.calls.size())},
         {"type", "function"},
         {"function", {{"name", call["name"]}, {"arguments", call["arguments"].dump()}}}});
  }
  return read;
}

std::vector<json> tool_call_chunks(const ResponseHead& head, size_t index, const ToolCalls& read) {
  // A client joins the argument fragments of a call; they go out in pieces
  // of this many bytes, cut between characters.
  constexpr size_t kPiece = 64;
  std::vector<json> chunks;
  if (!read.content.empty()) chunks.push_back(text_chunk(head, index, read.content, nullptr));
  const auto delta = [&](json call) {
    json chunk = text_chunk(head, index, "", nullptr);
    chunk["choices"][0]["delta"] = {{"tool_calls", json::array({std::move(call)})}};
    return chunk;
  };
  for (size_t k = 0; k < read.calls.size(); ++k) {
    const json& call = read.calls[k];
    chunks.push_back(delta({{"index", k},
                            {"id", call["id"]},
                            {"type", "function"},
                            {"function", {{"name", call["function"]["name"]}, {"arguments", ""}}}}));
    const std::string arguments = call["function"]["arguments"];
    for (size_t at = 0; at < arguments.size();) {
      size_t end = std::min(arguments.size(), at + kPiece);
      while (end < arguments.size() && (static_cast<unsigned char>(arguments[end]) & 0xC0) == 0x80) ++end;
      chunks.push_back(delta({{"index", k}, {"function", {{"arguments", arguments.substr(at, end - at)}}}}));
      at = end;
    }
  }
  return chunks;
}

}  // namespace vexo::serve
