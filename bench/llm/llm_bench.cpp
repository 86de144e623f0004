// llm_forward_next of a 24-layer sample model, beside the same device
// operations (copies, uploads, launches with their synchronisations, the
// token download) issued directly, in the same run. The pass also reports
// its heap allocations.
#include <benchmark/benchmark.h>

#include "heap_counter.h"
#include "llm_sample.h"
#include "llm/llmruntime.h"
#include "samples/samples.h"
#include "utils/device.h"

namespace {

using llmrun::LLMBase;
using minitensor::VexoTensor;

constexpr uint32_t kLayers = 24;
constexpr uint32_t kSeqLen = 256;

llmrun::llmbase open_sample() {
  vexo::samples::LlmOptions options;
  options.layers = kLayers;
  options.seq_len = kSeqLen;
  return open_llm_sample(options, "/tmp/vexo-llm-bench.bmodel");
}

void first_pass(llmrun::llmbase llm) {
  int prompt[] = {1, 2, 3, 4};
  llmrun::llm_forward_first(llm, prompt, 4);
}

void BM_ForwardNext(benchmark::State& state) {
  llmrun::llmbase llm = open_sample();
  first_pass(llm);
  size_t passes = 0, allocated = 0;
  for (auto _ : state) {
    if (llm->token_len > llm->seq_len) {
      state.PauseTiming();
      first_pass(llm);
      state.ResumeTiming();
    }
    const size_t before = vexobench::heap_allocations();
    benchmark::DoNotOptimize(llmrun::llm_forward_next(llm));
    allocated += vexobench::heap_allocations() - before;
    ++passes;
  }
  state.counters["allocations_per_pass"] = static_cast<double>(allocated) / passes;
  llmrun::llm_free(llm);
}

// The device operations of one next pass, issued straight to the device.
class DirectPass {
 public:
  explicit DirectPass(LLMBase& llm) : llm_(llm), handle_(llm.bm_handle) {}

  int run() {
    const size_t t = llm_.token_len, s = llm_.seq_len;
    position_ = static_cast<int32_t>(t - 1);
    copy(in(llm_.embedding_cache_idx, 0), out(llm_.lm_head_idx, 0), 0, 0, 4);
    launch(llm_.embedding_cache_idx);
    VexoTensor* hidden = out(llm_.embedding_cache_idx, 0);
    const size_t c0 = llm_.block_cache_ids[0], row = out(c0, 1)->size;
    for (size_t i = 0; i < llm_.num_layers; ++i) {
      const size_t c = llm_.block_cache_ids[i];
      copy(in(c, 0), hidden, 0, 0, hidden->size);
      if (i == 0) {
        upload(in(c, 1), &position_, 4);
        upload(in(c, 2), llm_.next_attention_mask.data(), 2 * (s + 1));
      } else {
        copy(in(c, 1), in(c0, 1), 0, 0, 4);
        copy(in(c, 2), in(c0, 2), 0, 0, 2 * (s + 1));
      }
      launch(c);
      hidden = out(c, 0);
      copy(in(c, 3), out(c, 1), (t - 1) * row, 0, row);
      copy(in(c, 4), out(c, 2), (t - 1) * row, 0, row);
    }
    copy(in(llm_.lm_head_idx, 0), hidden, 0, 0, hidden->size);
    launch(llm_.lm_head_idx);
    int32_t token;
    VexoTensor* token_tensor = out(llm_.lm_head_idx, 0);
    bm_memcpy_d2s_partial_offset(handle_, &token, block(token_tensor), 4, static_cast<unsigned>(token_tensor->offset));
    return token;
  }

 private:
  VexoTensor* in(size_t net, size_t i) { return llm_.input_tensors[net][i]; }
  VexoTensor* out(size_t net, size_t j) { return llm_.output_tensors[net][j]; }
  static bm_device_mem_t block(const VexoTensor* t) {
    return convert_to_device_mem(t->device_start, static_cast<unsigned>(t->device_size), t->dmabuf_fd, t->reserved,
                                 t->rawflags);
  }
  void copy(VexoTensor* dst, VexoTensor* src, size_t dst_offset, size_t src_offset, size_t size) {
    bm_memcpy_d2d_byte(handle_, block(dst), dst->offset + dst_offset, block(src), src->offset + src_offset, size);
  }
  void upload(VexoTensor* dst, void* data, unsigned size) {
    bm_memcpy_s2d_partial_offset(handle_, block(dst), data, size, static_cast<unsigned>(dst->offset));
  }
  void launch(size_t net) {
    auto& api = llm_.model_info.nets[net].stages[0].api_info;
    bm_thread_sync(handle_);
    tpu_kernel_launch(handle_, api.api_id, api.api_data[0].data(), api.api_data[0].size());
    bm_thread_sync(handle_);
  }

  LLMBase& llm_;
  bm_handle_t handle_;
  int32_t position_ = 0;
};

void BM_ForwardNextDirect(benchmark::State& state) {
  llmrun::llmbase llm = open_sample();
  first_pass(llm);
  // The library's pass prepares the mask row that the direct pass reuses.
  llmrun::llm_forward_next(llm);
  DirectPass pass(*llm);
  size_t passes = 0, allocated = 0;
  for (auto _ : state) {
    if (llm->token_len > llm->seq_len) llm->token_len = 5;
    const size_t before = vexobench::heap_allocations();
    benchmark::DoNotOptimize(pass.run());
    allocated += vexobench::heap_allocations() - before;
    ++passes;
    ++llm->token_len;
  }
  // The simulated device's own allocations (index tables of gathers).
  state.counters["allocations_per_pass"] = static_cast<double>(allocated) / passes;
  llmrun::llm_free(llm);
}

}  // namespace

BENCHMARK(BM_ForwardNextDirect)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ForwardNext)->Unit(benchmark::kMicrosecond);
