#include "src/llm/hf/vocab.h"

#include "src/utils/guard.h"

namespace llmrun::hf {

void VocabModel::add(std::string token, long id) {
  if (id < 0 || id >= kMaxId) minilog::fail_with("The tokenizer's token ", token, " has the id ", id, ", outside 0..", kMaxId - 1);
  const auto index = static_cast<size_t>(id);
  if (index >= tokens_.size()) {
    tokens_.resize(index + 1);
    has_.resize(index + 1);
  }
  ids_.emplace(token, static_cast<int>(id));
  tokens_[index] = std::move(token);
  has_[index] = true;
}

int VocabModel::required_id(const std::string& token, const char* role) const {
  const int id = id_of(token);
  if (id < 0) minilog::fail_with("The tokenizer's ", role, " ", token, " is not in its vocabulary");
  return id;
}

}  // namespace llmrun::hf
