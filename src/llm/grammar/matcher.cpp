#include "src/llm/grammar/matcher.h"

#include <algorithm>

namespace llmrun::grammar {

int32_t StackPool::push(uint32_t resume, int32_t below) {
  const uint64_t key = (static_cast<uint64_t>(resume) << 32) | static_cast<uint32_t>(below);
  const auto found = index_.find(key);
  if (found != index_.end()) return found->second;
  const auto id = static_cast<int32_t>(nodes_.size());
  nodes_.push_back({resume, below});
  index_.emplace(key, id);
  return id;
}

void StackPool::close(Stack s, Position& out) {
  work_.assign(1, s);
  seen_.clear();
  while (!work_.empty()) {
    const Stack at = work_.back();
    work_.pop_back();
    if (std::find(seen_.begin(), seen_.end(), at) != seen_.end()) continue;
    seen_.push_back(at);
    const State& state = a_->states[at.top];
    if (state.consumes && std::find(out.stacks.begin(), out.stacks.end(), at) == out.stacks.end()) {
      out.stacks.push_back(at);
    }
    // Rules never call themselves before reading a byte (automaton.cpp), so
    // this ends.
    for (const CallEdge& c : state.calls) work_.push_back({c.start, push(c.resume, at.below)});
    if (state.accept) {
      if (at.below == kBottom) {
        out.can_end = true;
      } else if (at.below == kOuter) {
        out.leaves_out = true;
      } else {
        work_.push_back(pop(at));
      }
    }
  }
}

void StackPool::step(const Position& in, uint8_t byte, Position& out) {
  out.clear();
  for (const Stack& s : in.stacks) {
    const int32_t next = a_->states[s.top].next[byte];
    if (next < 0) continue;
    const State& state = a_->states[static_cast<size_t>(next)];
    // The common case, a byte inside one rule, needs no closure.
    if (in.stacks.size() == 1 && state.calls.empty() && !state.accept) {
      if (state.consumes) out.stacks.push_back({static_cast<uint32_t>(next), s.below});
      continue;
    }
    close({static_cast<uint32_t>(next), s.below}, out);
  }
}

Matcher::Matcher(std::shared_ptr<const Automaton> automaton) : pool_(std::move(automaton)) {
  pool_.close({pool_.automaton().start, kBottom}, position_);
}

bool Matcher::advance(std::string_view bytes) {
  scratch_ = position_;
  for (const char c : bytes) {
    pool_.step(scratch_, static_cast<uint8_t>(c), next_);
    if (next_.stacks.empty() && !next_.can_end) return false;
    std::swap(scratch_, next_);
  }
  std::swap(position_, scratch_);
  return true;
}

}  // namespace llmrun::grammar
