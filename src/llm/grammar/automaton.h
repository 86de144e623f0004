// Grammars as byte automata: rules written as expressions over byte ranges
// and calls of other rules, each rule turned into a deterministic automaton
// over bytes and calls. A matcher (matcher.h) runs the rules as a pushdown
// automaton, so rules may nest and recurse. Internal to the library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace llmrun::grammar {

struct Expr;
using ExprPtr = std::shared_ptr<const Expr>;

// One node of a rule's expression.
struct Expr {
  enum Kind { Bytes, Seq, Alt, Repeat, Call } kind = Seq;
  std::vector<std::pair<uint8_t, uint8_t>> ranges;  // Bytes: one byte in one of the ranges
  std::vector<ExprPtr> items;                       // Seq, Alt; Repeat: the repeated one
  size_t min = 0, max = 0;                          // Repeat; max kUnbounded: no limit
  int rule = -1;                                    // Call
};
constexpr size_t kUnbounded = SIZE_MAX;

ExprPtr byte_ranges(std::vector<std::pair<uint8_t, uint8_t>> ranges);
ExprPtr literal(const std::string& bytes);
ExprPtr sequence(std::vector<ExprPtr> items);
ExprPtr choice(std::vector<ExprPtr> items);
ExprPtr repeat(ExprPtr item, size_t min, size_t max);
ExprPtr optional(ExprPtr item);
ExprPtr call(int rule);
// One character (its UTF-8 bytes) of the code points lo..hi; surrogates excluded.
ExprPtr code_points(uint32_t lo, uint32_t hi);

// A rule's call of another: where the callee starts and where the caller
// goes on when the callee has ended.
struct CallEdge {
  uint32_t start;
  uint32_t resume;
};

// A state of one rule's automaton. States of all rules share one numbering.
struct State {
  int32_t next[256];  // the state after a byte, -1: the byte is refused
  std::vector<CallEdge> calls;
  bool accept = false;    // the rule may end here
  bool consumes = false;  // some byte has a next state
};

struct Automaton {
  std::vector<State> states;
  uint32_t start = 0;  // the root rule's first state
};

// Collects rules, then compiles them. Throws a logged error for a grammar
// that is too large, a rule left undefined or a rule that calls itself
// before reading a byte.
class RuleSet {
 public:
  int declare(const std::string& name);
  void define(int rule, ExprPtr body);
  bool defined(int rule) const { return bodies_[static_cast<size_t>(rule)] != nullptr; }
  const std::string& name(int rule) const { return names_[static_cast<size_t>(rule)]; }
  size_t size() const { return names_.size(); }
  std::shared_ptr<const Automaton> compile(int root) const;

 private:
  std::vector<std::string> names_;
  std::vector<ExprPtr> bodies_;
};

}  // namespace llmrun::grammar
