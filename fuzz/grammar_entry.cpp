// A grammar compiled from the input, then bytes of the input stepped through
// its matcher with the token mask checked against each token it allows. For
// tool definitions, the grammar of a call, and the bytes read for calls.
#include <cstring>
#include <string>
#include <vector>

#include "entries.h"
#include "src/llm/grammar/grammar.h"
#include "src/llm/grammar/token_mask.h"
#include "src/llm/tool_calls.h"
#include "src/utils/guard.h"

namespace vexo::fuzz {

namespace {

namespace g = llmrun::grammar;

// Grammar texts beyond this take long to compile without finding more.
constexpr size_t kMaxGrammar = 1024;

const std::shared_ptr<const g::Vocabulary>& vocabulary() {
  static const auto v = [] {
    std::vector<std::string> tokens{""};
    for (int b = 0; b < 256; ++b) tokens.emplace_back(1, static_cast<char>(b));
    for (const char* piece : {"{\"", "\":", "\",", "\"}", "true", "null", "12", "ab", "\xC3\xA9", "\xE4\xB8", "\\u00"}) {
      tokens.emplace_back(piece);
    }
    return std::make_shared<const g::Vocabulary>(tokens);
  }();
  return v;
}

}  // namespace

// Input: a kind byte (JSON Schema, rules, any JSON or tool definitions), the
// grammar text up to a NUL, then the bytes to step.
int grammar_entry(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const char* begin = reinterpret_cast<const char*>(data) + 1;
  const char* end = reinterpret_cast<const char*>(data) + size;
  const char* nul = static_cast<const char*>(std::memchr(begin, '\0', static_cast<size_t>(end - begin)));
  const std::string text(begin, nul ? nul : end);
  const std::string steps(nul ? nul + 1 : end, end);
  if (text.size() > kMaxGrammar) return 0;
  std::shared_ptr<const g::Automaton> automaton;
  try {
    const int kind = data[0] % 4;
    if (kind == 3) {
      for (const int style : {LLM_TOOL_CALLS_TAGGED, LLM_TOOL_CALLS_JSON}) {
        for (const llmrun::ToolCall& call : llmrun::parse_tool_calls(steps, style).calls) {
          if (!call.arguments.is_object()) __builtin_trap();
        }
      }
      const nlohmann::ordered_json tools = nlohmann::ordered_json::parse(text, nullptr, false);
      const llmrun::CallGrammar call = llmrun::tool_call_grammar(tools, "", LLM_TOOL_CALLS_TAGGED);
      automaton = g::compile_json_schema(call.schema.dump(), call.before, call.after);
    } else {
      automaton =
          kind == 0 ? g::compile_json_schema(text) : kind == 1 ? g::compile_rules(text) : g::compile_json();
    }
  } catch (const minilog::LoggedError&) {
    return 0;
  }
  g::TokenMasks masks(automaton, vocabulary());
  g::Matcher matcher(automaton);
  g::IdSet allowed;
  const g::Vocabulary& v = *vocabulary();
  for (size_t i = 0; i < steps.size() && i < 64; ++i) {
    masks.allowed(matcher, allowed);
    // Every allowed token must be accepted, every other refused.
    for (int32_t id = 0; id < static_cast<int32_t>(v.size()); ++id) {
      g::Matcher copy = matcher;
      if ((!v.bytes(id).empty() && copy.advance(v.bytes(id))) != allowed.has(id)) __builtin_trap();
    }
    if (!matcher.advance(steps.substr(i, 1))) break;
  }
  return 0;
}

}  // namespace vexo::fuzz
