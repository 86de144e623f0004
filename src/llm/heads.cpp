#include "src/llm/heads.h"

#include <cstring>

#include "src/llm/sampler.h"
#include "utils/datagen.h"
#include "src/utils/fp16.h"
#include "src/utils/guard.h"

namespace llmrun {

namespace {

size_t element_size(int dtype) { return dtype == BM_FLOAT32 ? 4 : 2; }

float score(const uint8_t* bytes, int dtype, size_t i) {
  if (dtype == BM_FLOAT32) {
    float value;
    std::memcpy(&value, bytes + 4 * i, 4);
    return value;
  }
  uint16_t half;
  std::memcpy(&half, bytes + 2 * i, 2);
  return dtype == BM_FLOAT16 ? fp32_from_bits(fp16_ieee_to_fp32_bits(half))
                             : fp32_from_bits(static_cast<uint32_t>(half) << 16);
}

void scores(const VexoTensor& head, std::vector<float>& out) {
  const size_t count = head.size / element_size(head.dtype);
  out.resize(count);
  const auto* bytes = static_cast<const uint8_t*>(head.data);
  if (head.dtype == BM_FLOAT32) {
    std::memcpy(out.data(), bytes, count * 4);
    return;
  }
  for (size_t i = 0; i < count; ++i) out[i] = score(bytes, head.dtype, i);
}

const VexoTensor& head_output(const LLMBase& llm) {
  return *llm.output_tensors[llm.has_greedy_head ? llm.greedy_idx : llm.lm_head_idx][0];
}

// A pass through the C edge: the head's token, its scores into `logits`.
template <typename Pass>
int logits_pass(const char* function, llmbase llm, float* logits, size_t capacity, Pass pass) {
  if (!minilog::present(llm, function, "runtime")) return -1;
  return minilog::guarded(
      function,
      [&] {
        const size_t needed = llm->logits_head ? llm_get_head_size(llm) : 1;
        if (logits && capacity < needed) {
          minilog::fail_with("The logits take ", needed, " floats; the array holds ", capacity);
        }
        if (!logits && llm->logits_head) minilog::fail_with("No array was given for the logits");
        const int token = pass(*llm);
        if (llm->logits_head) {
          std::vector<float> values;
          head_logits(*llm, values);
          std::memcpy(logits, values.data(), values.size() * sizeof(float));
        } else if (logits) {
          logits[0] = static_cast<float>(token);
        }
        return token;
      },
      -1);
}

}  // namespace

bool is_logits(const VexoTensor& head_output) {
  const int t = head_output.dtype;
  return (t == BM_FLOAT32 || t == BM_FLOAT16 || t == BM_BFLOAT16) && head_output.size >= element_size(t);
}

int32_t greedy_token(const VexoTensor& head_output) {
  if (head_output.dtype == BM_FLOAT32) {
    return argmax(static_cast<const float*>(head_output.data), head_output.size / 4);
  }
  const size_t count = head_output.size / 2;
  const auto* bytes = static_cast<const uint8_t*>(head_output.data);
  size_t best = 0;
  float best_score = score(bytes, head_output.dtype, 0);
  for (size_t i = 1; i < count; ++i) {
    const float s = score(bytes, head_output.dtype, i);
    if (s > best_score) best = i, best_score = s;
  }
  return static_cast<int32_t>(best);
}

void head_logits(const LLMBase& llm, std::vector<float>& logits) { scores(head_output(llm), logits); }

int next_pass_with(LLMBase& llm, int32_t token) {
  llm.host_token = token;
  llm.host_token_set = true;
  return next_pass(llm);
}

}  // namespace llmrun

using namespace llmrun;

extern "C" {

size_t llm_get_num_layers(llmbase llm) {
  return minilog::present(llm, "llm_get_num_layers", "runtime") ? llm->num_layers : 0;
}

int llm_get_head_kind(llmbase llm) {
  if (!minilog::present(llm, "llm_get_head_kind", "runtime")) return 0;
  return llm->logits_head ? LLM_HEAD_LOGITS : LLM_HEAD_TOKEN;
}

int llm_get_head_dtype(llmbase llm) {
  return minilog::present(llm, "llm_get_head_dtype", "runtime") ? head_output(*llm).dtype : -1;
}

size_t llm_get_head_size(llmbase llm) {
  if (!minilog::present(llm, "llm_get_head_size", "runtime")) return 0;
  const VexoTensor& head = head_output(*llm);
  const size_t element = bmrt_data_type_size(static_cast<bm_data_type_t>(head.dtype));
  return element ? head.size / element : head.size;
}

int llm_forward_first_logits(llmbase llm, const int* tokens, size_t token_len, float* logits, size_t capacity) {
  return logits_pass("llm_forward_first_logits", llm, logits, capacity,
                     [&](LLMBase& model) { return first_pass(model, tokens, token_len); });
}

int llm_forward_next_logits(llmbase llm, int token, float* logits, size_t capacity) {
  return logits_pass("llm_forward_next_logits", llm, logits, capacity,
                     [&](LLMBase& model) { return next_pass_with(model, token); });
}

}  // extern "C"
