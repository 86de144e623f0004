// Compiling grammars: JSON values, JSON Schemas and grammars written in the
// rule form of docs/generation.md ("Constrained output"). Each throws a
// logged error that names what it cannot compile. Internal to the library.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "src/llm/grammar/automaton.h"

namespace llmrun::grammar {

// Any JSON value.
std::shared_ptr<const Automaton> compile_json();
// The JSON texts that a JSON Schema (given as JSON text) accepts, with
// `before` and `after` written around them.
std::shared_ptr<const Automaton> compile_json_schema(const std::string& schema, const std::string& before = "",
                                                     const std::string& after = "");
// A grammar of rules: name ::= expression, starting at "root".
std::shared_ptr<const Automaton> compile_rules(const std::string& text);

// Code point ranges, and how a grammar writes the characters of one set.
using CharRanges = std::vector<std::pair<uint32_t, uint32_t>>;
using CharWriter = std::function<ExprPtr(const CharRanges&)>;
// A regular expression (the subset in docs/generation.md) that must match
// a whole text (anchored: true) or somewhere in it.
ExprPtr regex(const std::string& pattern, const CharWriter& write, bool anchored);

}  // namespace llmrun::grammar
