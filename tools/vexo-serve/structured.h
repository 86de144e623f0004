// Structured output: the response formats a request asks for (JSON, JSON
// that follows a schema) and the tools a chat offers the model, turned into
// the grammar its generation follows and, for tools, into the calls its
// answer carries. Failures throw ApiError.
#pragma once

#include <cstddef>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <tuple>
#include <vector>

#include "llm/generation.h"

namespace vexo::serve {

class Tokenizer;

// The grammar kind of a tool call (beside the library's LLM_GRAMMAR_*).
constexpr int kToolCallGrammar = 100;

// How a request's output is constrained and read.
struct Structure {
  // The grammar to compile: 0 for none, LLM_GRAMMAR_JSON or
  // LLM_GRAMMAR_JSON_SCHEMA with `schema` (its JSON text), or
  // kToolCallGrammar with the tools' JSON text as `schema`; `field` names
  // the request field that asked for it.
  int kind = 0;
  std::string schema;
  const char* field = "response_format";
  // Tools offered: the answer is read for calls. With tool_choice
  // "required" or a named function (`named`) the answer is one call; with
  // "auto", a call the model begins follows the grammar from its opening.
  bool tools = false;
  bool lazy = false;
  std::string named;
};

// Reads response_format and, for chat, tools and tool_choice, from the body
// and its text `raw`; `logits_fields` gets the fields that need a logits head.
Structure parse_structure(const nlohmann::json& body, const std::string& raw, bool chat,
                          std::vector<std::string>& logits_fields);

struct GrammarFree {
  void operator()(llm_grammar* grammar) const { llm_grammar_free(grammar); }
};
using Grammar = std::shared_ptr<llm_grammar>;

// Compiled grammars, kept per tokenizer and grammar text so that repeated
// schemas compile once; the least recently used go beyond `capacity`.
class GrammarCache {
 public:
  explicit GrammarCache(size_t capacity = 16) : capacity_(capacity) {}
  // The grammar of `structure` (null when it has none); 400 naming the
  // reason when it does not compile.
  Grammar get(const Tokenizer& tokenizer, const Structure& structure);

 private:
  // The tokenizer, the kind, the schema, the tool named and laziness.
  using Key = std::tuple<const llm_tokenizer*, int, std::string, std::string, bool>;
  static Grammar compile(const Key& key, const char* field);

  const size_t capacity_;
  std::mutex mutex_;
  std::list<std::pair<Key, Grammar>> recent_;  // most recent first
  std::map<Key, std::list<std::pair<Key, Grammar>>::iterator> index_;
};

struct ResponseHead;

// A chat answer read for tool calls: the text outside them and the calls in
// the API's shape (id, type "function", function name, arguments as JSON
// text); no calls: `calls` is empty and `content` the whole text.
struct ToolCalls {
  std::string content;
  nlohmann::json calls = nlohmann::json::array();
};
// `style`: LLM_TOOL_CALLS_*; ids are made from the response's id and the
// choice's index.
ToolCalls read_tool_calls(const std::string& text, int style, const ResponseHead& head, size_t index);
// The stream's chunks of a choice whose answer was read: its content, then
// each call (its id, type and name first, its arguments after).
std::vector<nlohmann::json> tool_call_chunks(const ResponseHead& head, size_t index, const ToolCalls& read);

}  // namespace vexo::serve
