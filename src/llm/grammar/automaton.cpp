#include "src/llm/grammar/automaton.h"

#include <algorithm>
#include <map>

#include "src/llm/utf8.h"
#include "src/utils/guard.h"

namespace llmrun::grammar {

namespace {

using minilog::fail_with;

// Bounds on what one grammar may take: its automata stay within tens of MB.
constexpr size_t kMaxNfaStates = 2'000'000;
constexpr size_t kMaxStates = 40'000;

ExprPtr make(Expr expr) { return std::make_shared<const Expr>(std::move(expr)); }

// The UTF-8 encoding of a code point as bytes.
std::string utf8(uint32_t c) {
  std::string s;
  append_utf8(s, c);
  return s;
}

// Splits lo..hi (same encoded length) until each piece is a sequence of
// independent byte ranges, the usual way to match a code point range.
void utf8_pieces(uint32_t lo, uint32_t hi, std::vector<ExprPtr>& out) {
  const size_t length = utf8(lo).size();
  for (size_t i = 1; i < length; ++i) {
    const uint32_t low_bits = (1u << (6 * i)) - 1;
    if ((lo & ~low_bits) == (hi & ~low_bits)) continue;
    if ((lo & low_bits) != 0) {
      utf8_pieces(lo, lo | low_bits, out);
      utf8_pieces((lo | low_bits) + 1, hi, out);
      return;
    }
    if ((hi & low_bits) != low_bits) {
      utf8_pieces(lo, (hi & ~low_bits) - 1, out);
      utf8_pieces(hi & ~low_bits, hi, out);
      return;
    }
  }
  const std::string a = utf8(lo), b = utf8(hi);
  std::vector<ExprPtr> bytes;
  for (size_t k = 0; k < a.size(); ++k) {
    bytes.push_back(byte_ranges({{static_cast<uint8_t>(a[k]), static_cast<uint8_t>(b[k])}}));
  }
  out.push_back(sequence(std::move(bytes)));
}

// A nondeterministic automaton of one rule, built from its expression.
struct Nfa {
  struct Node {
    std::vector<std::tuple<uint8_t, uint8_t, int>> bytes;
    std::vector<std::pair<int, int>> calls;  // rule, next
    std::vector<int> empty;                  // moves that read nothing
  };
  std::vector<Node> nodes;

  int add() {
    if (nodes.size() >= kMaxNfaStates) fail_with("The grammar is too large (bounded repetitions too long)");
    nodes.emplace_back();
    return static_cast<int>(nodes.size() - 1);
  }
  // Appends `e` after `from`; returns the node where it ends.
  int build(const Expr& e, int from) {
    switch (e.kind) {
      case Expr::Bytes: {
        const int end = add();
        for (const auto& [lo, hi] : e.ranges) nodes[from].bytes.emplace_back(lo, hi, end);
        return end;
      }
      case Expr::Seq:
        for (const ExprPtr& item : e.items) from = build(*item, from);
        return from;
      case Expr::Alt: {
        const int end = add();
        for (const ExprPtr& item : e.items) {
          const int begin = add();
          nodes[from].empty.push_back(begin);
          const int last = build(*item, begin);
          nodes[last].empty.push_back(end);
        }
        return end;
      }
      case Expr::Repeat: {
        for (size_t i = 0; i < e.min; ++i) from = build(*e.items[0], from);
        if (e.max == kUnbounded) {
          const int loop = add();
          nodes[from].empty.push_back(loop);
          const int last = build(*e.items[0], loop);
          nodes[last].empty.push_back(loop);
          return loop;
        }
        const int end = add();
        for (size_t i = e.min; i < e.max; ++i) {
          nodes[from].empty.push_back(end);
          from = build(*e.items[0], from);
        }
        nodes[from].empty.push_back(end);
        return end;
      }
      case Expr::Call: {
        const int end = add();
        nodes[from].calls.emplace_back(e.rule, end);
        return end;
      }
    }
    return from;
  }
  void close(std::vector<int>& set) const {
    for (size_t i = 0; i < set.size(); ++i) {
      for (const int next : nodes[static_cast<size_t>(set[i])].empty) {
        if (std::find(set.begin(), set.end(), next) == set.end()) set.push_back(next);
      }
    }
    std::sort(set.begin(), set.end());
  }
};

// Appends the deterministic automaton of `body` to `states`; call edges hold
// the callee's rule number in `start` until the caller patches them.
uint32_t determinize(const Expr& body, std::vector<State>& states) {
  Nfa nfa;
  const int first = nfa.add();
  const int last = nfa.build(body, first);
  std::map<std::vector<int>, uint32_t> index;
  std::vector<std::vector<int>> pending;
  auto state_of = [&](std::vector<int> set) {
    nfa.close(set);
    const auto found = index.find(set);
    if (found != index.end()) return found->second;
    if (states.size() >= kMaxStates) fail_with("The grammar is too large (more than ", kMaxStates, " states)");
    const auto id = static_cast<uint32_t>(states.size());
    states.emplace_back();
    std::fill(std::begin(states.back().next), std::end(states.back().next), -1);
    index.emplace(set, id);
    pending.push_back(std::move(set));
    return id;
  };
  const uint32_t start = state_of({first});
  std::vector<std::vector<int>> by_byte(256);
  while (!pending.empty()) {
    const std::vector<int> set = std::move(pending.back());
    pending.pop_back();
    const uint32_t id = index.at(set);
    for (auto& targets : by_byte) targets.clear();
    std::map<int, std::vector<int>> by_rule;
    bool accept = false;
    for (const int n : set) {
      accept |= n == last;
      for (const auto& [lo, hi, next] : nfa.nodes[static_cast<size_t>(n)].bytes) {
        for (int b = lo; b <= hi; ++b) by_byte[static_cast<size_t>(b)].push_back(next);
      }
      for (const auto& [rule, next] : nfa.nodes[static_cast<size_t>(n)].calls) by_rule[rule].push_back(next);
    }
    states[id].accept = accept;
    for (size_t b = 0; b < 256; ++b) {
      if (by_byte[b].empty()) continue;
      const uint32_t next = state_of(by_byte[b]);
      states[id].next[b] = static_cast<int32_t>(next);
      states[id].consumes = true;
    }
    for (auto& [rule, targets] : by_rule) {
      const uint32_t next = state_of(targets);
      states[id].calls.push_back({static_cast<uint32_t>(rule), next});
    }
  }
  return start;
}

// Refuses rules that may call themselves before reading a byte: a matcher
// would nest them without end.
void check_left_recursion(const Automaton& a, const std::vector<uint32_t>& starts, const std::vector<int>& rule_of,
                          const std::vector<std::string>& names) {
  const size_t n = starts.size();
  // States reachable from a rule's start through calls of rules that may end
  // without a byte, and whether the rule may so end.
  std::vector<char> nullable(n, 0);
  auto reach = [&](size_t rule, std::vector<uint32_t>& seen) {
    seen.assign(1, starts[rule]);
    bool ends = false;
    for (size_t i = 0; i < seen.size(); ++i) {
      const State& s = a.states[seen[i]];
      ends |= s.accept;
      for (const CallEdge& c : s.calls) {
        if (nullable[static_cast<size_t>(rule_of[c.start])] &&
            std::find(seen.begin(), seen.end(), c.resume) == seen.end()) {
          seen.push_back(c.resume);
        }
      }
    }
    return ends;
  };
  std::vector<uint32_t> seen;
  for (bool changed = true; changed;) {
    changed = false;
    for (size_t r = 0; r < n; ++r) {
      if (!nullable[r] && reach(r, seen)) nullable[r] = changed = true;
    }
  }
  std::vector<std::vector<size_t>> first_calls(n);
  for (size_t r = 0; r < n; ++r) {
    reach(r, seen);
    for (const uint32_t s : seen) {
      for (const CallEdge& c : a.states[s].calls) first_calls[r].push_back(static_cast<size_t>(rule_of[c.start]));
    }
  }
  std::vector<char> mark(n, 0);  // 1: on the path, 2: done
  std::vector<std::pair<size_t, size_t>> path;
  for (size_t root = 0; root < n; ++root) {
    if (mark[root]) continue;
    path.assign(1, {root, 0});
    mark[root] = 1;
    while (!path.empty()) {
      auto& [rule, next] = path.back();
      if (next == first_calls[rule].size()) {
        mark[rule] = 2;
        path.pop_back();
        continue;
      }
      const size_t callee = first_calls[rule][next++];
      if (mark[callee] == 1) fail_with("The grammar rule ", names[callee], " calls itself before reading a byte");
      if (mark[callee] == 0) {
        mark[callee] = 1;
        path.push_back({callee, 0});
      }
    }
  }
}

}  // namespace

ExprPtr byte_ranges(std::vector<std::pair<uint8_t, uint8_t>> ranges) {
  Expr e;
  e.kind = Expr::Bytes;
  e.ranges = std::move(ranges);
  return make(std::move(e));
}

ExprPtr literal(const std::string& bytes) {
  std::vector<ExprPtr> items;
  for (const char c : bytes) {
    const auto b = static_cast<uint8_t>(c);
    items.push_back(byte_ranges({{b, b}}));
  }
  return sequence(std::move(items));
}

ExprPtr sequence(std::vector<ExprPtr> items) {
  if (items.size() == 1) return items[0];
  Expr e;
  e.kind = Expr::Seq;
  e.items = std::move(items);
  return make(std::move(e));
}

ExprPtr choice(std::vector<ExprPtr> items) {
  if (items.size() == 1) return items[0];
  Expr e;
  e.kind = Expr::Alt;
  e.items = std::move(items);
  return make(std::move(e));
}

ExprPtr repeat(ExprPtr item, size_t min, size_t max) {
  Expr e;
  e.kind = Expr::Repeat;
  e.items = {std::move(item)};
  e.min = min;
  e.max = max;
  return make(std::move(e));
}

ExprPtr optional(ExprPtr item) { return repeat(std::move(item), 0, 1); }

ExprPtr call(int rule) {
  Expr e;
  e.kind = Expr::Call;
  e.rule = rule;
  return make(std::move(e));
}

ExprPtr code_points(uint32_t lo, uint32_t hi) {
  hi = std::min<uint32_t>(hi, 0x10FFFF);
  std::vector<ExprPtr> pieces;
  // Pieces of one encoded length, without the surrogates (not characters).
  const uint32_t bounds[][2] = {{0, 0x7F}, {0x80, 0x7FF}, {0x800, 0xD7FF}, {0xE000, 0xFFFF}, {0x10000, 0x10FFFF}};
  for (const auto& [a, b] : bounds) {
    const uint32_t from = std::max(lo, a), to = std::min(hi, b);
    if (from <= to) utf8_pieces(from, to, pieces);
  }
  if (pieces.empty()) fail_with("An empty character range cannot match anything");
  return choice(std::move(pieces));
}

int RuleSet::declare(const std::string& name) {
  names_.push_back(name);
  bodies_.push_back(nullptr);
  return static_cast<int>(names_.size() - 1);
}

void RuleSet::define(int rule, ExprPtr body) { bodies_[static_cast<size_t>(rule)] = std::move(body); }

std::shared_ptr<const Automaton> RuleSet::compile(int root) const {
  auto a = std::make_shared<Automaton>();
  // Rules reachable from the root, each compiled once.
  std::vector<int> order{root};
  std::vector<int> slot(names_.size(), -1);
  slot[static_cast<size_t>(root)] = 0;
  std::vector<uint32_t> starts;
  for (size_t i = 0; i < order.size(); ++i) {
    const ExprPtr& body = bodies_[static_cast<size_t>(order[i])];
    if (!body) fail_with("The grammar rule ", names_[static_cast<size_t>(order[i])], " is not defined");
    const size_t first = a->states.size();
    starts.push_back(determinize(*body, a->states));
    for (size_t s = first; s < a->states.size(); ++s) {
      for (CallEdge& c : a->states[s].calls) {
        int& callee = slot[c.start];
        if (callee < 0) {
          callee = static_cast<int>(order.size());
          order.push_back(static_cast<int>(c.start));
        }
        c.start = static_cast<uint32_t>(callee);  // a slot for now
      }
    }
  }
  for (State& s : a->states) {
    for (CallEdge& c : s.calls) c.start = starts[c.start];
  }
  std::vector<int> slot_of(a->states.size(), -1);
  std::vector<std::string> slot_names;
  for (size_t i = 0; i < starts.size(); ++i) {
    slot_of[starts[i]] = static_cast<int>(i);
    slot_names.push_back(names_[static_cast<size_t>(order[i])]);
  }
  check_left_recursion(*a, starts, slot_of, slot_names);
  a->start = starts[0];
  return a;
}

}  // namespace llmrun::grammar
