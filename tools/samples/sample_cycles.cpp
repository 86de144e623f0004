#include "sample_cycles.h"

#include <malloc.h>

#include <cstring>
#include <fstream>
#include <iterator>

#include "bmlib_runtime.h"
#include "llm/llmruntime.h"
#include "runtime/miniruntime.h"

namespace vexo::samples {

namespace {

// The number after "\"key\":" in a trace line, or -1.
int64_t trace_field(const std::string& line, const std::string& key) {
  const size_t at = line.find("\"" + key + "\":");
  return at == std::string::npos ? -1 : std::stoll(line.substr(at + key.size() + 3));
}

}  // namespace

Footprint footprint(const std::string& trace_path) {
  Footprint now;
  const struct mallinfo2 heap = mallinfo2();
  now.heap_bytes = heap.uordblks + heap.hblkhd;
  bm_handle_t probe = nullptr;
  if (bm_dev_request(&probe, 0) != BM_SUCCESS) return now;
  bm_dev_free(probe);
  // The probe's close line is the trace's last.
  std::ifstream trace(trace_path, std::ios::binary | std::ios::ate);
  const std::streamoff size = trace.tellg(), tail = size < 4096 ? size : 4096;
  std::string text(static_cast<size_t>(tail), '\0');
  trace.seekg(size - tail);
  trace.read(&text[0], tail);
  const size_t close = text.rfind("{\"op\":\"close\"");
  if (close == std::string::npos) return now;
  const std::string line = text.substr(close);
  now.device_allocations = trace_field(line, "live_allocations");
  now.device_bytes = trace_field(line, "live_bytes");
  return now;
}

GeneralCycle::GeneralCycle(std::string path) : path_(std::move(path)), cases_(general_reference_cases()) {
  save_model(general_sample(), path_);
}

bool GeneralCycle::run() {
  minirun::vexoruntime runtime = minirun::vexoruntime_init(path_.c_str(), 0);
  if (!runtime) return false;
  bool matched = true;
  for (ReferenceCase& c : cases_) {
    minirun::vexoruntime_set_net_stage(runtime, minirun::vexoruntime_get_net_num(runtime, c.net.c_str()), c.stage);
    for (size_t i = 0; i < c.inputs.size(); ++i) {
      minirun::vexoruntime_set_input_s2d(runtime, i, c.inputs[i].bytes.data(), c.inputs[i].bytes.size());
    }
    matched = minirun::vexoruntime_run_checked(runtime, true) && matched;
    for (size_t j = 0; j < c.expected.size(); ++j) {
      const minitensor::VexoTensor* output = minirun::vexoruntime_get_io_tensor(runtime, 'o', j);
      const Bytes& expected = c.expected[j].bytes;
      matched = matched && output && output->is_have_data && output->size == expected.size() &&
                std::memcmp(output->data, expected.data(), expected.size()) == 0;
    }
  }
  minirun::vexoruntime_free(runtime);
  return matched;
}

LlmCycle::LlmCycle(std::string path, const LlmOptions& options) : path_(std::move(path)) {
  save_model(llm_sample(options), path_);
  const std::vector<int32_t> all =
      llm_expected_tokens(std::vector<int32_t>(prompt_.begin(), prompt_.end()), options.seq_len + 1, options);
  expected_.assign(all.begin() + static_cast<std::ptrdiff_t>(prompt_.size()), all.end());
}

bool LlmCycle::run() {
  llmrun::llmbase llm = llmrun::llm_init(path_.c_str(), 0);
  if (!llm) return false;
  bool matched = llmrun::llm_forward_first(llm, prompt_.data(), prompt_.size()) == expected_[0];
  for (size_t k = 1; k < expected_.size(); ++k) matched = llmrun::llm_forward_next(llm) == expected_[k] && matched;
  llmrun::llm_free(llm);
  return matched;
}

}  // namespace vexo::samples
