// Splits a template into tokens: text between tags, and the names, literals
// and operators inside {{ }} and {% %}. Comments are dropped. Whitespace
// control is applied here, as chat templates expect it: trim_blocks (the
// newline after a block tag is removed), lstrip_blocks (blanks before a
// block tag on its line are removed), and "-" on a tag strips all the
// whitespace on that side.
#pragma once

#include <string>
#include <vector>

namespace llmrun::jinja {

struct Token {
  enum class Kind { Text, OutputOpen, OutputClose, BlockOpen, BlockClose, Name, String, Integer, Float, Operator, End };
  Kind kind;
  std::string text;  // the text, name, operator or literal's value (unescaped)
  size_t line;
};

// Throws a logged error "<origin>:<line>: <what>" for malformed input.
std::vector<Token> tokenize(const std::string& source, const std::string& origin);

}  // namespace llmrun::jinja
