// The model kinds of a tokenizer.json.
#pragma once

#include <memory>

#include "src/llm/hf/components.h"

namespace llmrun::hf {

std::unique_ptr<Model> make_bpe(const Json& config);
std::unique_ptr<Model> make_unigram(const Json& config);
std::unique_ptr<Model> make_word_piece(const Json& config);

}  // namespace llmrun::hf
