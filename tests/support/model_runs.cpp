#include "model_runs.h"

#include <gtest/gtest.h>

namespace vexotest {

std::vector<Bytes> run_stage(divudida::ModelInfo& model, size_t net, size_t stage, const std::vector<Bytes>& inputs) {
  const divudida::StageInfo& info = model.nets.at(net).stages.at(stage);
  for (size_t i = 0; i < inputs.size(); ++i) {
    vexotest::write_device(model.bm_handle, info.input_tensor_global_addr.at(i), inputs[i]);
  }
  divudida::run_model(model, net, stage);
  std::vector<Bytes> outputs;
  for (size_t j = 0; j < info.output_tensor.size(); ++j) {
    outputs.push_back(vexotest::read_device(model.bm_handle, info.output_tensor_global_addr[j],
                                            info.output_tensor[j].size));
  }
  return outputs;
}

std::string save_single_stage(const vexotest::TempDir& dir, const vexo::samples::StageSpec& stage,
                              int32_t addr_mode) {
  vexo::samples::ModelSpec spec;
  spec.nets.push_back(vexo::samples::NetSpec{"net", addr_mode, {stage}});
  const std::string path = dir.path("single.bmodel");
  vexo::samples::save_model(spec, path);
  return path;
}

std::pair<int64_t, int64_t> live_at_close(const vexotest::SimTrace& trace) {
  const auto closes = trace.events("close");
  if (closes.empty()) {
    ADD_FAILURE() << "no handle was closed";
    return {-1, -1};
  }
  return {closes.back()["live_allocations"].get<int64_t>(), closes.back()["live_bytes"].get<int64_t>()};
}

}  // namespace vexotest
