// What the head of a language model yields, and the passes the generation
// layer drives. Internal to the library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "llm/llmruntime.h"

namespace llmrun {

// A float32, float16 or bfloat16 vector: one score per token.
bool is_logits(const VexoTensor& head_output);
// The index of the highest score (the first of equal ones) of the logits in
// the record's host buffer.
int32_t greedy_token(const VexoTensor& head_output);
// The logits of the last pass as float32, from the head output's host buffer.
void head_logits(const LLMBase& llm, std::vector<float>& logits);

// The passes of the runtime, throwing on failure: a first pass over a
// prompt, and a next pass that feeds llm.host_token when host_token_set,
// else the device's token. Both return the head's greedy token.
int first_pass(LLMBase& llm, const int* tokens, size_t token_len);
int next_pass(LLMBase& llm);
// A next pass that feeds `token`.
int next_pass_with(LLMBase& llm, int32_t token);

}  // namespace llmrun
