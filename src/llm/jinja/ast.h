// The syntax tree of a parsed template: expressions and statements, each
// with the line it starts on (for error messages).
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "src/llm/jinja/value.h"

namespace llmrun::jinja {

struct Expr;
using ExprPtr = std::unique_ptr<Expr>;

struct Expr {
  enum class Kind {
    Literal,    // value
    Name,       // name
    Attribute,  // operands[0].name
    Index,      // operands[0][operands[1]]
    Slice,      // operands[0][operands[1]:operands[2]:operands[3]], absent parts null
    Call,       // operands[0](arguments)
    Filter,     // operands[0] | name(arguments)
    Test,       // operands[0] is [not] name(arguments)
    Not,        // not operands[0]
    Negate,     // -operands[0]
    Binary,     // operands[0] op operands[1]
    And,
    Or,
    Conditional,  // operands[0] if operands[1] else operands[2] (absent: undefined)
    List,         // [operands...] and tuples
    Dict,         // {operands[0]: operands[1], ...}
  };
  Kind kind;
  size_t line;
  Value value;
  std::string name;  // a name, attribute, filter, test or operator
  bool negated = false;
  std::vector<ExprPtr> operands;
  std::vector<std::pair<std::string, ExprPtr>> named;  // named arguments of calls, filters and tests

  Expr(Kind kind, size_t line) : kind(kind), line(line) {}
};

struct Stmt;
using Body = std::vector<std::unique_ptr<Stmt>>;

struct Parameter {
  std::string name;
  ExprPtr default_value;  // null: none given
};

struct Stmt {
  enum class Kind {
    Text,      // text
    Output,    // {{ expr }}
    If,        // conditions[i] -> bodies[i]; a last body without condition is the else
    For,       // for targets in expr [if condition]: bodies[0], else bodies[1]
    Set,       // set target[.attribute] = expr, or the text of bodies[0]
    Macro,     // macro name(parameters): bodies[0]
    CallBlock, // call(parameters) expr: bodies[0] is caller()
    Break,
    Continue,
    Block,     // bodies[0] as it is (generation blocks)
  };
  Kind kind;
  size_t line;
  std::string text;
  ExprPtr expr;
  ExprPtr condition;
  std::vector<ExprPtr> conditions;
  std::vector<Body> bodies;
  std::vector<std::string> targets;  // loop variables, or the set target then its attribute
  std::vector<Parameter> parameters;

  Stmt(Kind kind, size_t line) : kind(kind), line(line) {}
};

}  // namespace llmrun::jinja
