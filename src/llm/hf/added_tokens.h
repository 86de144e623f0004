// Tokens added to a vocabulary (special ones and others): found in the text
// before anything else, longest first at the leftmost place.
#pragma once

#include <string>
#include <vector>

#include "src/llm/hf/components.h"

namespace llmrun::hf {

struct AddedToken {
  std::string content;
  int id = -1;
  bool special = false, single_word = false, lstrip = false, rstrip = false, normalized = false;
};

// A part of a text: an added token's id, or text (id -1) for the rest of the
// pipeline.
struct Segment {
  std::string text;
  int id = -1;
  bool first = false;  // starts the input
  bool plain = false;  // what a user wrote: special tokens' text stays text
};

class AddedTokens {
 public:
  explicit AddedTokens(const Json& list);
  const std::vector<AddedToken>& all() const { return tokens_; }
  // Splits the text segments at the tokens whose `normalized` flag is
  // `normalized`; special tokens are left as text when `special_as_text`.
  void split(std::vector<Segment>& segments, bool normalized, bool special_as_text) const;

 private:
  struct Node {
    int token = -1;  // index into tokens_
    std::vector<std::pair<unsigned char, int>> children;
  };
  struct Trie {
    std::vector<Node> nodes{Node{}};
    bool starts[256] = {};
    void insert(const std::string& text, int token);
    // The longest token starting at text[at], -1 for none; *end: where it ends.
    int longest(const std::string& text, size_t at, size_t* end) const;
  };
  void split_one(const Segment& segment, const Trie& trie, bool special_as_text, std::vector<Segment>& out) const;
  std::vector<AddedToken> tokens_;
  Trie raw_, normalized_;
};

}  // namespace llmrun::hf
