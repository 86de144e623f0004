// The sample models: networks whose commands compute known results on the
// simulated device, with the reference computations they are checked
// against. docs/sample-models.md explains them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "model_builder.h"

namespace vexo::samples {

// "general": three nets.
//   net 0 "embed" (stages of 1 and 4 ids): rows = table[ids], valid = 1s
//   net 1 "reverse" (io-alone, stages of 4 and 2 rows): the rows in reverse order
//   net 2 "pad": the 4 input bytes, then 4 bytes of 0xEE
constexpr uint32_t kEmbedVocab = 16;
constexpr uint32_t kEmbedRowBytes = 8;  // 4 half-precision values
ModelSpec general_sample();
// Row r of the embedding table.
std::vector<uint8_t> embed_row(uint32_t id);

// "wide": beyond the flat description's capacities. One net "wide" of one
// stage: 70 uint8 inputs of one byte, input 0 with a 200-character name, the
// others "in_<i>"; one uint8 output "gathered" of 9 dimensions
// (1 x 1 x 1 x 1 x 1 x 1 x 1 x 2 x 35) whose byte i is input i's byte.
constexpr size_t kWideInputs = 70;
ModelSpec wide_sample();
std::string wide_input_name(size_t index);

// "llm": a language model of `layers` layers whose next token is
//   t[k] = next(embed(t[max(k - 1 - layers, 0)]))
// when every cache holds the right rows.
struct LlmOptions {
  uint32_t layers = 2;
  uint32_t seq_len = 16;
  uint32_t vocab = 64;
  bool greedy_head = false;
  // "lm_head" yields float32 logits, one per token, with the best score on
  // the token of the rule (llm_logit); takes the place of greedy_head.
  bool logits_head = false;
};
ModelSpec llm_sample(const LlmOptions& options);
int32_t llm_embed(int32_t token, uint32_t vocab);
int32_t llm_next(int32_t hidden, uint32_t vocab);
// The score a logits head gives `token` after hidden value `hidden`:
// kLlmBestLogit for llm_next(hidden), a lower one for every other token,
// which repeats every kLlmLogitsPeriod tokens (so that the head of a large
// vocabulary needs weights in proportion to it, not to its square).
constexpr float kLlmBestLogit = 10.0f;
constexpr uint32_t kLlmLogitsPeriod = 64;
float llm_logit(int32_t hidden, int32_t token, uint32_t vocab);
// The tokens a run generates after `prompt`, until `count` tokens in all.
std::vector<int32_t> llm_expected_tokens(const std::vector<int32_t>& prompt, size_t count, const LlmOptions& options);

// A SentencePiece tokenizer of kLlmTokenizerVocab ids (the sample's default
// vocabulary), trained from a short built-in text and written to `path`.
// Its special ids: 0 unknown, 1 begin, 2 end, 3 "<|im_start|>", 4 "<|im_end|>",
// 5 a line break.
constexpr uint32_t kLlmTokenizerVocab = 64;
void write_llm_tokenizer(const std::string& path);
// The same tokenizer with byte fallback: characters it has no piece for
// encode as their UTF-8 bytes, ids 6 to 261 ("<0x00>" to "<0xFF>").
constexpr uint32_t kByteFallbackTokenizerVocab = 320;
void write_byte_fallback_tokenizer(const std::string& path);

}  // namespace vexo::samples
