#include "src/llm/hf/added_tokens.h"

#include "src/utils/guard.h"
#include "src/llm/hf/text.h"
#include "src/llm/hf/vocab.h"

namespace llmrun::hf {

namespace {

bool word_char_before(const std::string& text, size_t at) {
  if (at == 0) return false;
  size_t back = at - 1, n = 0;
  while (back > 0 && (static_cast<unsigned char>(text[back]) & 0xC0) == 0x80) --back;
  return is_word_char(next_char(text, back, &n));
}

bool word_char_at(const std::string& text, size_t at) {
  size_t n = 0;
  return at < text.size() && is_word_char(next_char(text, at, &n));
}

}  // namespace

AddedTokens::AddedTokens(const Json& list) {
  if (list.is_null()) return;
  for (const Json& entry : list) {
    AddedToken token;
    token.content = field(entry, "content").get<std::string>();
    const long id = field(entry, "id").get<long>();
    if (id < 0 || id >= kMaxId) minilog::fail_with("The added token ", token.content, " has the id ", id, ", outside 0..", kMaxId - 1);
    token.id = static_cast<int>(id);
    token.special = bool_or(entry, "special", false);
    token.single_word = bool_or(entry, "single_word", false);
    token.lstrip = bool_or(entry, "lstrip", false);
    token.rstrip = bool_or(entry, "rstrip", false);
    token.normalized = bool_or(entry, "normalized", !token.special);
    if (token.content.empty()) continue;  // matches nothing
    (token.normalized ? normalized_ : raw_).insert(token.content, static_cast<int>(tokens_.size()));
    tokens_.push_back(std::move(token));
  }
}

void AddedTokens::Trie::insert(const std::string& text, int token) {
  int node = 0;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    int next = -1;
    for (const auto& [key, child] : nodes[static_cast<size_t>(node)].children) {
      if (key == byte) next = child;
    }
    if (next < 0) {
      next = static_cast<int>(nodes.size());
      nodes[static_cast<size_t>(node)].children.emplace_back(byte, next);
      nodes.emplace_back();
    }
    node = next;
  }
  if (nodes[static_cast<size_t>(node)].token < 0) nodes[static_cast<size_t>(node)].token = token;
  starts[static_cast<unsigned char>(text[0])] = true;
}

int AddedTokens::Trie::longest(const std::string& text, size_t at, size_t* end) const {
  int found = -1, node = 0;
  for (size_t i = at; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    int next = -1;
    for (const auto& [key, child] : nodes[static_cast<size_t>(node)].children) {
      if (key == byte) next = child;
    }
    if (next < 0) break;
    node = next;
    if (nodes[static_cast<size_t>(node)].token >= 0) found = nodes[static_cast<size_t>(node)].token, *end = i + 1;
  }
  return found;
}

void AddedTokens::split(std::vector<Segment>& segments, bool normalized, bool special_as_text) const {
  const Trie& trie = normalized ? normalized_ : raw_;
  if (trie.nodes.size() == 1) return;
  std::vector<Segment> out;
  for (const Segment& segment : segments) {
    if (segment.id >= 0) out.push_back(segment);
    else split_one(segment, trie, special_as_text, out);
  }
  segments = std::move(out);
}

void AddedTokens::split_one(const Segment& segment, const Trie& trie, bool special_as_text, std::vector<Segment>& out) const {
  const std::string& text = segment.text;
  size_t done = 0;  // text before this is in `out`
  const auto push_text = [&](size_t begin, size_t end) {
    if (end > begin) out.push_back({text.substr(begin, end - begin), -1, segment.first && begin == 0, segment.plain});
  };
  for (size_t at = 0; at < text.size();) {
    size_t end = 0;
    const int index = trie.starts[static_cast<unsigned char>(text[at])] ? trie.longest(text, at, &end) : -1;
    if (index < 0) {
      ++at;
      continue;
    }
    const AddedToken& token = tokens_[static_cast<size_t>(index)];
    const bool skip = ((special_as_text || segment.plain) && token.special) ||
                      (token.single_word && (word_char_before(text, at) || word_char_at(text, end)));
    if (skip || at < done) {
      at = end;  // matches do not overlap: look on after this one
      continue;
    }
    size_t begin = at, stop = end, n = 0;
    if (token.lstrip) {
      while (begin > done) {
        size_t back = begin - 1;
        while (back > done && (static_cast<unsigned char>(text[back]) & 0xC0) == 0x80) --back;
        if (!is_whitespace(next_char(text, back, &n))) break;
        begin = back;
      }
    }
    if (token.rstrip) {
      while (stop < text.size() && is_whitespace(next_char(text, stop, &n))) stop += n;
    }
    push_text(done, begin);
    out.push_back({token.content, token.id, false});
    done = stop;
    at = end;
  }
  push_text(done, text.size());
}

}  // namespace llmrun::hf
