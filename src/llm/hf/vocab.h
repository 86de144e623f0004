// A model's vocabulary: tokens by id and ids by token.
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

#include "src/llm/hf/components.h"

namespace llmrun::hf {

// Far above any real vocabulary (the largest have about 260,000 ids), low
// enough to refuse a hostile file's id before allocating for it.
constexpr long kMaxId = 1L << 21;

class VocabModel : public Model {
 public:
  int id_of(const std::string& token) const override {
    const auto found = ids_.find(token);
    return found == ids_.end() ? -1 : found->second;
  }
  const std::string* token_of(int id) const override {
    return id >= 0 && static_cast<size_t>(id) < tokens_.size() && has_[static_cast<size_t>(id)] ? &tokens_[static_cast<size_t>(id)]
                                                                                                : nullptr;
  }
  size_t size() const override { return tokens_.size(); }

 protected:
  // Throws for a negative id or one above what a vocabulary can hold.
  void add(std::string token, long id);
  // The id of a token the configuration names, which must be in the vocabulary.
  int required_id(const std::string& token, const char* role) const;

 private:
  std::unordered_map<std::string, int> ids_;
  std::vector<std::string> tokens_;
  std::vector<bool> has_;
};

}  // namespace llmrun::hf
