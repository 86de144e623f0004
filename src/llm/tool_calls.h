// Tool calls in a chat model's output: the two forms that chat templates
// teach models, read back into calls, and the grammar of one call for a
// list of tool definitions. Internal to the library.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "llm/generation.h"

namespace llmrun {

class Tokenizer;

// LLM_TOOL_CALLS_JSON when the vocabulary has "<|python_tag|>" as one
// token (the models whose templates ask for a bare JSON call), else
// LLM_TOOL_CALLS_TAGGED.
int tool_call_style(const Tokenizer& tokenizer);

struct ToolCall {
  std::string name;
  nlohmann::ordered_json arguments;  // an object, its members in the order written
};
struct ParsedOutput {
  std::string content;  // the text outside the calls
  std::vector<ToolCall> calls;
};
// Reads the calls of `text`; text that holds no well-formed call is all
// content (a call that does not parse is the model's text, not a call).
ParsedOutput parse_tool_calls(const std::string& text, int style);

// The JSON Schema of one call's object ({"name", "arguments"} or, in the
// JSON form, {"name", "parameters"}) to any of `tools` (OpenAI tool
// definitions) or, when `name` is not empty, to that one; the texts
// written around the object; and the text that opens a call where the model
// chooses to write one.
struct CallGrammar {
  nlohmann::ordered_json schema;
  std::string before, after;
  std::string opening;
};
CallGrammar tool_call_grammar(const nlohmann::ordered_json& tools, const std::string& name, int style);

}  // namespace llmrun
