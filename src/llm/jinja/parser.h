// Builds the syntax tree of a template from its tokens.
#pragma once

#include <string>

#include "src/llm/jinja/ast.h"

namespace llmrun::jinja {

// Throws a logged error "<origin>:<line>: <what>" for a template that is not
// well formed (or nests deeper than the parser allows).
Body parse(const std::string& source, const std::string& origin);

}  // namespace llmrun::jinja
