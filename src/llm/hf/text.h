// UTF-8 and Unicode helpers shared by the stages of a tokenizer.json pipeline.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "src/llm/utf8.h"

namespace llmrun::hf {

// The code point at text[i] and its length in bytes; text must be valid UTF-8.
char32_t next_char(const std::string& text, size_t i, size_t* length);
// `text` with every invalid sequence replaced by U+FFFD, one per maximal
// invalid subpart (as text decoders do).
std::string valid_utf8(const std::string& text);
bool is_whitespace(char32_t c);    // the Unicode White_Space property
bool is_word_char(char32_t c);     // letters, digits and '_'
// What \w matches in the patterns of tokenizer files: letters, marks,
// decimal and letter numbers, connector punctuation and the joiners.
bool is_regex_word_char(char32_t c);
bool is_numeric(char32_t c);       // categories Nd, Nl, No
bool is_punctuation(char32_t c);   // ASCII punctuation and categories P*

}  // namespace llmrun::hf
