// Tokenizers as tokenizer.json files describe them (the format of Hugging
// Face's tokenizers library), with the settings of the folder around them.
#pragma once

#include <memory>
#include <string>

#include "src/llm/tokenizer.h"

namespace llmrun::hf {

// Reads `path` (a tokenizer.json) and, beside it, tokenizer_config.json and
// generation_config.json when present. Throws a logged error for a file it
// cannot follow exactly, naming the stage.
std::unique_ptr<Tokenizer> load_json_tokenizer(const std::string& path);

// The same from the file's text, without a folder (for fuzzing and tests).
std::unique_ptr<Tokenizer> json_tokenizer_from_text(const std::string& text);

}  // namespace llmrun::hf
