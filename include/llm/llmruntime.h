// The language-model runtime: a language model compiled as cooperating nets
// ("embedding", "block_<i>" and "block_cache_<i>" per layer,
// "embedding_cache", "lm_head" and an optional "greedy_head") that produces
// one token per call and keeps the per-layer caches on the device.
//
// A first pass over the prompt fills every cache and yields the first new
// token; each next pass appends one row to every cache and yields the next.
// Data moves between the nets by device-to-device copies; only the token
// comes back to the host. See docs/llm-runtime.md.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "runtime/divudida.h"
#include "runtime/minitensor.h"
#include "vexo.h"

namespace llmrun {

using minitensor::VexoTensor;

struct LLMBase {
  bm_handle_t bm_handle = nullptr;
  uint16_t mask = 0;
  divudida::ModelInfo model_info;  // owned
  size_t seq_len = 0;
  size_t token_len = 0;  // tokens so far, counting the one produced last
  size_t num_layers = 0;
  size_t embedding_idx = 0;
  size_t embedding_cache_idx = 0;
  size_t lm_head_idx = 0;
  size_t greedy_idx = 0;  // 0 when there is no greedy head
  std::vector<size_t> block_ids;
  std::vector<size_t> block_cache_ids;
  // Per net index, the records of the inputs and outputs of its stage 0; owned.
  std::vector<std::vector<VexoTensor*>> input_tensors;
  std::vector<std::vector<VexoTensor*>> output_tensors;

  bool has_greedy_head = false;  // a greedy head may be net 0 too
  // A head without a greedy head whose output 0 is a vector of float32,
  // float16 or bfloat16 scores, one per token: the host picks the token.
  bool logits_head = false;
  // The token the next pass feeds, when it comes from the host rather than
  // from the device's token tensor (always so for a logits head).
  bool host_token_set = false;
  int32_t host_token = 0;
  // The host arrays the passes upload, made once at load time: the input
  // records that borrow them never point at freed memory.
  std::vector<int32_t> input_ids;          // seq_len
  std::vector<int32_t> position_ids;       // seq_len
  std::vector<uint16_t> attention_mask;    // seq_len x seq_len
  int32_t next_position_id = 0;
  std::vector<uint16_t> next_attention_mask;  // seq_len + 1
};
typedef LLMBase* llmbase;

// The language-model runtime's C functions, declared in vexo.h and
// llm/generation.h.
using ::llm_forward_first;
using ::llm_forward_next;
using ::llm_free;
using ::llm_get_seq_len;
using ::llm_get_token_len;
using ::llm_init;
using ::llm_init_decrypt;

}  // namespace llmrun
