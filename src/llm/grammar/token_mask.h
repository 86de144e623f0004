// The ids a grammar allows next: the vocabulary's byte strings in a trie,
// walked against the matcher's stacks. What a rule's state allows inside
// the rule is computed once and cached; only tokens that run past the end of
// the rule are walked against the frames below at each step.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "src/llm/grammar/matcher.h"

namespace llmrun::grammar {

// The byte strings of a vocabulary, one per id (empty: a special token that
// no grammar allows), as a trie.
class Vocabulary {
 public:
  explicit Vocabulary(const std::vector<std::string>& tokens);
  size_t size() const { return size_; }
  const std::string& bytes(int32_t id) const { return tokens_[static_cast<size_t>(id)]; }

  struct Node {
    uint32_t first_child = 0, child_count = 0;  // in child_byte / child_node
    uint32_t first_id = 0, id_count = 0;        // tokens ending here, in ids
  };
  std::vector<Node> nodes;  // nodes[0]: the root
  std::vector<uint8_t> child_byte;
  std::vector<uint32_t> child_node;
  std::vector<int32_t> ids;

 private:
  size_t size_;
  std::vector<std::string> tokens_;
};

// Allowed ids as bits.
struct IdSet {
  std::vector<uint64_t> words;
  void reset(size_t count) { words.assign((count + 63) / 64, 0); }
  void add(int32_t id) { words[static_cast<size_t>(id) >> 6] |= uint64_t{1} << (id & 63); }
  void set(int32_t id, bool on) {
    const uint64_t bit = uint64_t{1} << (id & 63);
    words[static_cast<size_t>(id) >> 6] = on ? words[static_cast<size_t>(id) >> 6] | bit : words[static_cast<size_t>(id) >> 6] & ~bit;
  }
  bool has(int32_t id) const { return (words[static_cast<size_t>(id) >> 6] >> (id & 63)) & 1; }
};

// Gives the scores of the ids not in `allowed` (and of those beyond it)
// minus infinity; true when some id is allowed.
bool mask_scores(const IdSet& allowed, std::vector<float>& scores);

// A grammar compiled for one vocabulary; shared by the sessions that use it
// (the cache is guarded, so several threads may use one).
class TokenMasks {
 public:
  TokenMasks(std::shared_ptr<const Automaton> automaton, std::shared_ptr<const Vocabulary> vocabulary);
  const std::shared_ptr<const Automaton>& automaton() const { return automaton_; }
  const Vocabulary& vocabulary() const { return *vocabulary_; }
  // The ids whose bytes the matcher accepts next (end ids not included:
  // they are allowed where matcher.can_end()).
  void allowed(Matcher& matcher, IdSet& out);

 private:
  // What a state of a rule allows by itself, as if it were a root.
  struct Entry {
    std::vector<int32_t> ids;          // few ids
    std::vector<uint64_t> words;       // or many, as bits
    std::vector<uint32_t> leave_after;  // trie nodes after which the rule may end
  };
  const Entry& entry(uint32_t state);

  std::shared_ptr<const Automaton> automaton_;
  std::shared_ptr<const Vocabulary> vocabulary_;
  std::mutex mutex_;
  std::unordered_map<uint32_t, std::unique_ptr<const Entry>> cache_;
  StackPool pool_;  // for the cache's walks (under the mutex)
};

}  // namespace llmrun::grammar
