// Running a grammar's automaton over bytes: a set of call stacks, one per way
// the bytes read so far can be parsed. Stacks share their lower frames in a
// pool of interned nodes, so copying a stack is copying two numbers.
#pragma once

#include <memory>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "src/llm/grammar/automaton.h"

namespace llmrun::grammar {

// Bottom marks of a stack: the root rule's caller, or the unknown caller of
// the rule a token mask is computed for (token_mask.cpp).
constexpr int32_t kBottom = -1;
constexpr int32_t kOuter = -2;

// A stack: the state of the innermost rule and the frames below it.
struct Stack {
  uint32_t top;
  int32_t below;  // a node of the pool, kBottom or kOuter
  bool operator==(const Stack& o) const { return top == o.top && below == o.below; }
};

// Where the bytes read so far may lead: stacks whose top reads a byte next,
// and whether the whole grammar or the outer rule may end here.
struct Position {
  std::vector<Stack> stacks;
  bool can_end = false;     // the root rule may end here
  bool leaves_out = false;  // the rule begun on kOuter may end here
  void clear() {
    stacks.clear();
    can_end = leaves_out = false;
  }
};

// The frames of stacks and the moves over them.
class StackPool {
 public:
  explicit StackPool(std::shared_ptr<const Automaton> automaton) : a_(std::move(automaton)) {}
  const Automaton& automaton() const { return *a_; }
  // Adds to `out` every stack that `s` leads to without reading a byte.
  void close(Stack s, Position& out);
  // The position after `byte`; `out` is cleared first.
  void step(const Position& in, uint8_t byte, Position& out);
  // The stack left when the top frame of `s` returns (its below is a node).
  Stack pop(Stack s) const {
    const Node& n = nodes_[static_cast<size_t>(s.below)];
    return {n.state, n.below};
  }

 private:
  struct Node {
    uint32_t state;  // the caller's state to resume
    int32_t below;
  };
  int32_t push(uint32_t resume, int32_t below);

  std::shared_ptr<const Automaton> a_;
  std::vector<Node> nodes_;
  std::unordered_map<uint64_t, int32_t> index_;
  std::vector<Stack> work_, seen_;
};

// The parse of one output as it grows.
class Matcher {
 public:
  explicit Matcher(std::shared_ptr<const Automaton> automaton);
  // Reads the bytes; false (and no change) when the grammar refuses them.
  bool advance(std::string_view bytes);
  bool can_end() const { return position_.can_end; }
  // Nothing more may follow.
  bool complete() const { return position_.stacks.empty(); }
  const Position& position() const { return position_; }
  StackPool& pool() { return pool_; }

 private:
  StackPool pool_;
  Position position_, scratch_, next_;
};

}  // namespace llmrun::grammar
