#include "llm/llmruntime.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "src/llm/heads.h"
#include "src/llm/llmruntime_internal.h"
#include "src/runtime/miniruntime_internal.h"
#include "src/core/model_steps.h"
#include "src/tensor/tensor_internal.h"
#include "utils/datagen.h"
#include "src/utils/guard.h"
#include "src/utils/logs.h"

namespace llmrun {

const uint16_t ATTENTION_MASK_F16 = 0xF0E2;
const uint16_t ATTENTION_MASK_BF16 = 0xC61C;

namespace {

using minitensor::copy_on_device;
using minitensor::upload_bytes;

// A model this runtime cannot drive, or a pass it cannot make.
template <typename... Pieces>
[[noreturn]] void refuse(const Pieces&... pieces) {
  minilog::fail_with(pieces...);
}

VexoTensor* input(LLMBase& llm, size_t net, size_t i) { return llm.input_tensors[net][i]; }
VexoTensor* output(LLMBase& llm, size_t net, size_t j) { return llm.output_tensors[net][j]; }

void run(LLMBase& llm, size_t net) { divudida::run_model(llm.model_info, net, 0); }

// Copies the whole of `src` into the start of `dst` on the device.
void copy(LLMBase& llm, VexoTensor* dst, VexoTensor* src) {
  copy_on_device(llm.bm_handle, dst, src, 0, 0, src->size);
}

VexoTensor* token_tensor(LLMBase& llm) {
  return llm.has_greedy_head ? output(llm, llm.greedy_idx, 0) : output(llm, llm.lm_head_idx, 0);
}

// Runs the head (and the greedy head) and brings the token to the host.
int produce_token(LLMBase& llm) {
  run(llm, llm.lm_head_idx);
  if (llm.has_greedy_head) {
    copy(llm, input(llm, llm.greedy_idx, 0), output(llm, llm.lm_head_idx, 0));
    run(llm, llm.greedy_idx);
  }
  VexoTensor* token = token_tensor(llm);
  minitensor::download(*token);
  if (llm.logits_head) {
    llm.host_token = greedy_token(*token);
    llm.host_token_set = true;
    return llm.host_token;
  }
  llm.host_token_set = false;
  int32_t value;
  std::memcpy(&value, token->data, sizeof value);
  return value;
}

// Ends the sequence unless the pass completes: a pass that fails part way
// leaves caches and the token tensor half written, so that only a new first
// pass may follow it.
class SequenceGuard {
 public:
  explicit SequenceGuard(LLMBase& llm) : llm_(llm) {}
  SequenceGuard(const SequenceGuard&) = delete;
  SequenceGuard& operator=(const SequenceGuard&) = delete;
  ~SequenceGuard() {
    if (!complete_) llm_.token_len = 0;
  }
  void complete(size_t token_len) {
    llm_.token_len = token_len;
    complete_ = true;
  }

 private:
  LLMBase& llm_;
  bool complete_ = false;
};

// Every copy of a pass addresses its tensors inside their blocks: a record
// that leaves its block would make each pass fail.
void check_in_blocks(const std::vector<VexoTensor*>& records, const char* kind, const std::string& net) {
  for (size_t i = 0; i < records.size(); ++i) {
    const VexoTensor& record = *records[i];
    if (!minitensor::lies_in_block(record)) {
      refuse(kind, " ", i, " of net \"", net, "\" (", record.size, " bytes at offset ", record.offset,
             ") leaves its device block of ", record.device_size, " bytes");
    }
  }
}

size_t net_index(const LLMBase& llm, const std::string& name) {
  const auto found = llm.model_info.net_name_to_index.find(name);
  if (found == llm.model_info.net_name_to_index.end()) refuse("The model has no net \"", name, "\"");
  return found->second;
}

// Checks that the nets have the inputs and outputs the passes use, in count
// and in size, so that no pass copies or uploads outside a tensor.
class ShapeCheck {
 public:
  explicit ShapeCheck(LLMBase& llm) : llm_(llm) {}

  void counts(size_t net, size_t inputs, size_t outputs) const {
    const size_t have_in = llm_.input_tensors[net].size(), have_out = llm_.output_tensors[net].size();
    if (have_in < inputs || have_out < outputs) {
      refuse("Net \"", name(net), "\" has ", have_in, " inputs and ", have_out, " outputs; the passes use ", inputs,
             " and ", outputs);
    }
  }
  // The pass copies `bytes` into `dst`.
  void fits(uint64_t bytes, size_t net, size_t i) const {
    if (bytes > input(llm_, net, i)->size) {
      refuse("Input ", i, " of net \"", name(net), "\" holds ", input(llm_, net, i)->size,
             " bytes; the passes copy ", bytes, " bytes into it");
    }
  }
  // The pass uploads exactly `bytes` into the input.
  void exact(uint64_t bytes, size_t net, size_t i) const {
    if (bytes != input(llm_, net, i)->size) {
      refuse("Input ", i, " of net \"", name(net), "\" holds ", input(llm_, net, i)->size,
             " bytes; the passes upload ", bytes, " bytes into it");
    }
  }

 private:
  const std::string& name(size_t net) const { return llm_.model_info.nets[net].name; }
  LLMBase& llm_;
};

void check_shapes(LLMBase& llm) {
  const ShapeCheck check(llm);
  const uint64_t s = llm.seq_len;
  check.counts(llm.embedding_idx, 1, 1);
  check.counts(llm.embedding_cache_idx, 1, 1);
  check.counts(llm.lm_head_idx, 1, 1);
  check.exact(4 * s, llm.embedding_idx, 0);

  // The prompt pass: embedding, the block nets, then one row of the last
  // hidden state into the head.
  VexoTensor* hidden = output(llm, llm.embedding_idx, 0);
  for (size_t i = 0; i < llm.num_layers; ++i) {
    const size_t b = llm.block_ids[i], c = llm.block_cache_ids[i];
    check.counts(b, 3, 3);
    check.counts(c, 5, 3);
    check.fits(hidden->size, b, 0);
    check.exact(4 * s, b, 1);
    check.exact(2 * s * s, b, 2);
    check.fits(output(llm, b, 1)->size, c, 3);
    check.fits(output(llm, b, 2)->size, c, 4);
    hidden = output(llm, b, 0);
  }
  if (hidden->size < s || hidden->size % s != 0) {
    refuse("The hidden state of ", hidden->size, " bytes is not ", s, " rows");
  }
  check.fits(hidden->size / s, llm.lm_head_idx, 0);

  // The single-token pass: one row appended to every cache.
  hidden = output(llm, llm.embedding_cache_idx, 0);
  const uint64_t row = llm.num_layers ? output(llm, llm.block_cache_ids[0], 1)->size : 0;
  for (size_t i = 0; i < llm.num_layers; ++i) {
    const size_t c = llm.block_cache_ids[i];
    check.fits(hidden->size, c, 0);
    check.exact(4, c, 1);
    check.exact(2 * (s + 1), c, 2);
    for (size_t j = 1; j <= 2; ++j) {
      if (output(llm, c, j)->size < row) {
        refuse("Output ", j, " of net \"", llm.model_info.nets[c].name, "\" is shorter than a cache row");
      }
      check.fits(s * row, c, 2 + j);
    }
    hidden = output(llm, c, 0);
  }
  check.fits(hidden->size, llm.lm_head_idx, 0);

  if (llm.has_greedy_head) {
    check.counts(llm.greedy_idx, 1, 1);
    check.fits(output(llm, llm.lm_head_idx, 0)->size, llm.greedy_idx, 0);
  }
  if (llm.logits_head) {
    check.exact(sizeof(int32_t), llm.embedding_cache_idx, 0);
    return;
  }
  if (token_tensor(llm)->size < sizeof(int32_t)) refuse("The token tensor holds no 32-bit token");
  check.fits(token_tensor(llm)->size, llm.embedding_cache_idx, 0);
}

// Builds the records of every net and checks the nets of a loaded model.
void complete(LLMBase& llm) {
  const size_t nets = llm.model_info.nets.size();
  llm.input_tensors.resize(nets);
  llm.output_tensors.resize(nets);
  for (size_t i = 0; i < nets; ++i) {
    const divudida::NetInfo& net = llm.model_info.nets[i];
    if (net.stages.empty()) refuse("Net \"", net.name, "\" has no stage");
    const divudida::StageInfo& stage = net.stages[0];
    const bm_device_mem_t block = stage.io_alone ? stage.io_device : llm.model_info.neuron_device;
    if (!set_io_tensors(llm.model_info.device_id, llm.bm_handle, block, stage, llm.input_tensors[i],
                        llm.output_tensors[i])) {
      refuse("The tensor records of net \"", net.name, "\" could not be built");
    }
    check_in_blocks(llm.input_tensors[i], "Input", net.name);
    check_in_blocks(llm.output_tensors[i], "Output", net.name);
    if (net.name.find("block_cache") != std::string::npos) ++llm.num_layers;
  }
  llm.embedding_idx = net_index(llm, "embedding");
  llm.embedding_cache_idx = net_index(llm, "embedding_cache");
  llm.lm_head_idx = net_index(llm, "lm_head");
  const auto greedy = llm.model_info.net_name_to_index.find("greedy_head");
  llm.has_greedy_head = greedy != llm.model_info.net_name_to_index.end();
  llm.greedy_idx = llm.has_greedy_head ? greedy->second : 0;
  llm.logits_head = !llm.has_greedy_head && !llm.output_tensors[llm.lm_head_idx].empty() &&
                    is_logits(*output(llm, llm.lm_head_idx, 0));
  for (size_t i = 0; i < llm.num_layers; ++i) {
    llm.block_ids.push_back(net_index(llm, "block_" + std::to_string(i)));
    llm.block_cache_ids.push_back(net_index(llm, "block_cache_" + std::to_string(i)));
  }

  if (llm.input_tensors[llm.embedding_idx].empty() || input(llm, llm.embedding_idx, 0)->dims < 2) {
    refuse("The input of net \"embedding\" has no sequence dimension");
  }
  llm.seq_len = input(llm, llm.embedding_idx, 0)->shape[1];
  if (llm.seq_len == 0) refuse("The sequence length of net \"embedding\" is 0");
  check_shapes(llm);
  llm.mask = output(llm, llm.embedding_idx, 0)->dtype == BM_BFLOAT16 ? ATTENTION_MASK_BF16 : ATTENTION_MASK_F16;
  llm.input_ids.resize(llm.seq_len);
  llm.position_ids.resize(llm.seq_len);
  llm.attention_mask.resize(llm.seq_len * llm.seq_len);
  llm.next_attention_mask.resize(llm.seq_len + 1);
}

int forward_first(LLMBase& llm, const int* tokens, size_t token_len) {
  const size_t s = llm.seq_len;
  if (!tokens || token_len == 0 || token_len > s) {
    refuse("A prompt takes 1 to ", s, " tokens, not ", tokens ? token_len : 0);
  }
  std::fill(llm.input_ids.begin(), llm.input_ids.end(), 0);
  std::copy(tokens, tokens + token_len, llm.input_ids.begin());
  std::fill(llm.position_ids.begin(), llm.position_ids.end(), 0);
  std::fill(llm.attention_mask.begin(), llm.attention_mask.end(), llm.mask);
  for (size_t i = 0; i < token_len; ++i) {
    llm.position_ids[i] = static_cast<int32_t>(i);
    std::fill_n(llm.attention_mask.begin() + i * s, i + 1, uint16_t{0});
  }
  SequenceGuard sequence(llm);
  upload_bytes(input(llm, llm.embedding_idx, 0), llm.input_ids.data(), 4 * s);
  run(llm, llm.embedding_idx);
  VexoTensor* hidden = output(llm, llm.embedding_idx, 0);
  for (size_t i = 0; i < llm.num_layers; ++i) {
    const size_t b = llm.block_ids[i], c = llm.block_cache_ids[i];
    copy(llm, input(llm, b, 0), hidden);
    // Later layers' positions and mask share these device bytes.
    if (i == 0) {
      upload_bytes(input(llm, b, 1), llm.position_ids.data(), 4 * s);
      upload_bytes(input(llm, b, 2), llm.attention_mask.data(), 2 * s * s);
    }
    run(llm, b);
    hidden = output(llm, b, 0);
    copy(llm, input(llm, c, 3), output(llm, b, 1));
    copy(llm, input(llm, c, 4), output(llm, b, 2));
  }
  const size_t row = hidden->size / s;
  copy_on_device(llm.bm_handle, input(llm, llm.lm_head_idx, 0), hidden, 0, (token_len - 1) * row, row);
  const int token = produce_token(llm);
  sequence.complete(token_len + 1);
  return token;
}

int forward_next(LLMBase& llm) {
  const size_t s = llm.seq_len, t = llm.token_len;
  if (t == 0) refuse("A next pass needs a first pass");
  if (t > s) refuse("The caches are full: ", s, " positions");
  if (llm.num_layers == 0) refuse("A next pass needs at least one layer");
  llm.next_position_id = static_cast<int32_t>(t - 1);
  std::fill(llm.next_attention_mask.begin(), llm.next_attention_mask.end(), uint16_t{0});
  std::fill(llm.next_attention_mask.begin() + (t - 1), llm.next_attention_mask.begin() + s, llm.mask);

  SequenceGuard sequence(llm);
  if (llm.host_token_set) {
    upload_bytes(input(llm, llm.embedding_cache_idx, 0), &llm.host_token, sizeof llm.host_token);
  } else {
    copy(llm, input(llm, llm.embedding_cache_idx, 0), token_tensor(llm));
  }
  run(llm, llm.embedding_cache_idx);
  VexoTensor* hidden = output(llm, llm.embedding_cache_idx, 0);
  const size_t c0 = llm.block_cache_ids[0];
  const size_t row = output(llm, c0, 1)->size, at = (t - 1) * row;
  for (size_t i = 0; i < llm.num_layers; ++i) {
    const size_t c = llm.block_cache_ids[i];
    copy(llm, input(llm, c, 0), hidden);
    if (i == 0) {
      upload_bytes(input(llm, c, 1), &llm.next_position_id, 4);
      upload_bytes(input(llm, c, 2), llm.next_attention_mask.data(), 2 * (s + 1));
    } else {
      copy(llm, input(llm, c, 1), input(llm, c0, 1));
      copy(llm, input(llm, c, 2), input(llm, c0, 2));
    }
    run(llm, c);
    hidden = output(llm, c, 0);
    copy_on_device(llm.bm_handle, input(llm, c, 3), output(llm, c, 1), at, 0, row);
    copy_on_device(llm.bm_handle, input(llm, c, 4), output(llm, c, 2), at, 0, row);
  }
  copy(llm, input(llm, llm.lm_head_idx, 0), hidden);
  const int token = produce_token(llm);
  sequence.complete(t + 1);
  return token;
}

}  // namespace

int first_pass(LLMBase& llm, const int* tokens, size_t token_len) { return forward_first(llm, tokens, token_len); }

int next_pass(LLMBase& llm) { return forward_next(llm); }

bool set_io_tensors(int device_id, bm_handle_t bm_handle, bm_device_mem_t io_device,
                    const divudida::StageInfo& stage_info, std::vector<VexoTensor*>& input_tensors,
                    std::vector<VexoTensor*>& output_tensors) {
  const size_t first_input = input_tensors.size();
  if (!minirun::vexoruntime_set_io_tensors(device_id, bm_handle, io_device, stage_info, input_tensors,
                                           output_tensors)) {
    return false;
  }
  for (size_t i = first_input; i < input_tensors.size(); ++i) input_tensors[i]->is_in_device = true;
  return true;
}

namespace {

llmbase init_llm(const char* function, const char* model_path, int device_id, const std::string& decrypt_lib) {
  return minirun::open_state<LLMBase>(function, model_path, device_id, decrypt_lib, complete);
}

}  // namespace

}  // namespace llmrun

// The exported functions, at global scope as vexo.h declares them.
using namespace llmrun;

extern "C" {

llmbase llm_init(const char* model_path, int device_id) { return init_llm("llm_init", model_path, device_id, ""); }

llmbase llm_init_decrypt(const char* model_path, int device_id, const char* decrypt_lib) {
  if (!minirun::decryption_plugin_given("llm_init_decrypt", decrypt_lib)) return nullptr;
  return init_llm("llm_init_decrypt", model_path, device_id, decrypt_lib);
}

size_t llm_get_seq_len(llmbase llm) { return minilog::present(llm, "llm_get_seq_len", "runtime") ? llm->seq_len : 0; }

size_t llm_get_token_len(llmbase llm) {
  return minilog::present(llm, "llm_get_token_len", "runtime") ? llm->token_len : 0;
}

int llm_forward_first(llmbase llm, int* tokens, size_t token_len) {
  if (!minilog::present(llm, "llm_forward_first", "runtime")) return -1;
  // A failure is one error line and -1: tokens are never negative.
  return minilog::guarded("llm_forward_first", [&] { return forward_first(*llm, tokens, token_len); }, -1);
}

int llm_forward_next(llmbase llm) {
  if (!minilog::present(llm, "llm_forward_next", "runtime")) return -1;
  return minilog::guarded("llm_forward_next", [&] { return forward_next(*llm); }, -1);
}

void llm_free(llmbase llm) {
  if (llm) minirun::release_state(llm);
}

}  // extern "C"
