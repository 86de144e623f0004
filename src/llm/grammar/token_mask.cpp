#include "src/llm/grammar/token_mask.h"

#include <algorithm>
#include <limits>
#include <numeric>

namespace llmrun::grammar {

namespace {

// Entries with more ids keep them as bits.
constexpr size_t kFewIds = 2048;

// Walks the trie below a node from a position, reporting every id whose
// bytes the position accepts and the nodes after which the outer rule may
// end.
class Walk {
 public:
  Walk(const Vocabulary& v, StackPool& pool) : v_(v), pool_(pool) {}
  template <typename OnId>
  void run(uint32_t node, const Position& from, OnId on_id, std::vector<uint32_t>* leave_after) {
    if (levels_.empty()) levels_.resize(1);
    levels_[0] = from;
    visit(node, 0, on_id, leave_after);
  }

 private:
  template <typename OnId>
  void visit(uint32_t node, size_t level, OnId& on_id, std::vector<uint32_t>* leave_after) {
    if (levels_.size() < level + 2) levels_.resize(level + 2);
    const Vocabulary::Node& n = v_.nodes[node];
    for (uint32_t c = n.first_child; c < n.first_child + n.child_count; ++c) {
      Position& next = levels_[level + 1];
      pool_.step(levels_[level], v_.child_byte[c], next);
      if (next.stacks.empty() && !next.can_end && !next.leaves_out) continue;
      const uint32_t child = v_.child_node[c];
      const Vocabulary::Node& cn = v_.nodes[child];
      for (uint32_t i = cn.first_id; i < cn.first_id + cn.id_count; ++i) on_id(v_.ids[i]);
      if (next.leaves_out && leave_after && cn.child_count) leave_after->push_back(child);
      if (!next.stacks.empty()) visit(child, level + 1, on_id, leave_after);
    }
  }

  const Vocabulary& v_;
  StackPool& pool_;
  std::vector<Position> levels_;
};

}  // namespace

Vocabulary::Vocabulary(const std::vector<std::string>& tokens) : size_(tokens.size()), tokens_(tokens) {
  // Sorted byte strings give each node's children in order and contiguous.
  std::vector<int32_t> order(tokens.size());
  std::iota(order.begin(), order.end(), 0);
  std::sort(order.begin(), order.end(), [&](int32_t a, int32_t b) {
    return tokens[static_cast<size_t>(a)] < tokens[static_cast<size_t>(b)];
  });
  // Build with per-node child lists, then flatten.
  struct Build {
    std::vector<std::pair<uint8_t, uint32_t>> children;
    std::vector<int32_t> ids;
  };
  std::vector<Build> build(1);
  for (const int32_t id : order) {
    const std::string& t = tokens[static_cast<size_t>(id)];
    if (t.empty()) continue;
    uint32_t at = 0;
    for (const char ch : t) {
      const auto b = static_cast<uint8_t>(ch);
      auto& kids = build[at].children;
      if (kids.empty() || kids.back().first != b) {
        kids.emplace_back(b, static_cast<uint32_t>(build.size()));
        build.emplace_back();
      }
      at = build[at].children.back().second;
    }
    build[at].ids.push_back(id);
  }
  nodes.resize(build.size());
  for (size_t i = 0; i < build.size(); ++i) {
    nodes[i].first_child = static_cast<uint32_t>(child_byte.size());
    nodes[i].child_count = static_cast<uint32_t>(build[i].children.size());
    for (const auto& [b, n] : build[i].children) {
      child_byte.push_back(b);
      child_node.push_back(n);
    }
    nodes[i].first_id = static_cast<uint32_t>(ids.size());
    nodes[i].id_count = static_cast<uint32_t>(build[i].ids.size());
    ids.insert(ids.end(), build[i].ids.begin(), build[i].ids.end());
  }
}

bool mask_scores(const IdSet& allowed, std::vector<float>& scores) {
  constexpr float kNever = -std::numeric_limits<float>::infinity();
  bool any = false;
  const size_t n = scores.size();
  // Whole words of 64 ids at once: most are all allowed or all refused.
  for (size_t w = 0; w * 64 < n; ++w) {
    const uint64_t word = w < allowed.words.size() ? allowed.words[w] : 0;
    const size_t first = w * 64, last = std::min(n, first + 64);
    any |= word != 0;
    if (word == ~uint64_t{0}) continue;
    if (word == 0) {
      std::fill(scores.begin() + static_cast<std::ptrdiff_t>(first), scores.begin() + static_cast<std::ptrdiff_t>(last), kNever);
      continue;
    }
    for (size_t i = first; i < last; ++i) {
      if (!((word >> (i - first)) & 1)) scores[i] = kNever;
    }
  }
  return any;
}

TokenMasks::TokenMasks(std::shared_ptr<const Automaton> automaton, std::shared_ptr<const Vocabulary> vocabulary)
    : automaton_(std::move(automaton)), vocabulary_(std::move(vocabulary)), pool_(automaton_) {}

const TokenMasks::Entry& TokenMasks::entry(uint32_t state) {
  const auto found = cache_.find(state);
  if (found != cache_.end()) return *found->second;
  auto e = std::make_unique<Entry>();
  Position from;
  pool_.close({state, kOuter}, from);
  // Ending right away is a stack of the matcher's position already.
  from.leaves_out = false;
  Walk walk(*vocabulary_, pool_);
  walk.run(0, from, [&](int32_t id) { e->ids.push_back(id); }, &e->leave_after);
  if (e->ids.size() > kFewIds) {
    IdSet bits;
    bits.reset(vocabulary_->size());
    for (const int32_t id : e->ids) bits.add(id);
    e->words = std::move(bits.words);
    e->ids.clear();
    e->ids.shrink_to_fit();
  }
  return *cache_.emplace(state, std::move(e)).first->second;
}

void TokenMasks::allowed(Matcher& matcher, IdSet& out) {
  out.reset(vocabulary_->size());
  StackPool& pool = matcher.pool();
  Walk walk(*vocabulary_, pool);
  Position below;
  for (const Stack& s : matcher.position().stacks) {
    const Entry* e;
    {
      // Entries are never changed nor removed once made.
      const std::lock_guard<std::mutex> lock(mutex_);
      e = &entry(s.top);
    }
    for (size_t w = 0; w < e->words.size(); ++w) out.words[w] |= e->words[w];
    for (const int32_t id : e->ids) out.add(id);
    // Past the end of the root rule nothing follows.
    if (s.below < 0 || e->leave_after.empty()) continue;
    below.clear();
    pool.close(pool.pop(s), below);
    for (const uint32_t node : e->leave_after) walk.run(node, below, [&](int32_t id) { out.add(id); }, nullptr);
  }
}

}  // namespace llmrun::grammar
