// The fuzz entry functions: plain functions that take one input and drive a
// part of the library with it. The libFuzzer targets call them, and so does
// the replay program that ctest runs over every input that ever found a
// defect. Each returns 0; a defect shows as a crash, a sanitizer report or
// an end of the process.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vexo::fuzz {

// A model image through the reader's memory constructor, then every range
// read, get_weight and the memory statistics.
int reader_entry(const uint8_t* data, size_t size);
// A model file loaded on the simulated device; every stage selected, fed
// with zeros and run; then freed.
int load_entry(const uint8_t* data, size_t size);
// A tensor file loaded into an empty and into a shaped record, saved, and
// loaded back.
int tensor_file_entry(const uint8_t* data, size_t size);
// A language model opened, then a first pass and a few next passes.
int llm_entry(const uint8_t* data, size_t size);
// The host sampler over settings and logits read from the input (NaN and
// infinities included); every draw must give an id of the vocabulary.
int sampler_entry(const uint8_t* data, size_t size);

// The sample tokenizers: streamed pieces against the whole decoded text,
// and the lower bound of a text's ids against its encoding.
int tokenizer_entry(const uint8_t* data, size_t size);
// A grammar compiled from the input, bytes stepped through it and its token
// masks checked against the tokens' bytes.
int grammar_entry(const uint8_t* data, size_t size);
// A chat template's source (then a NUL and messages as JSON) parsed and
// rendered within small bounds.
int chat_template_entry(const uint8_t* data, size_t size);
// A tokenizer.json read from the input, then texts encoded and decoded.
int tokenizer_json_entry(const uint8_t* data, size_t size);

// The entry of a target by name ("reader", "load", "tensor_file", "llm",
// "tokenizer", "sampler", "grammar", "chat_template",
// "tokenizer_json"), or null.
using Entry = int (*)(const uint8_t*, size_t);
Entry entry_named(const char* name);

}  // namespace vexo::fuzz
