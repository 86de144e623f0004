// One run of the general runtime (no download) against run_model alone on
// the same loaded model, in the same run: what the runtime adds per call.
// The stage has 4 inputs, 4 outputs and one GDMA command.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "runtime/miniruntime.h"
#include "samples/model_builder.h"
#include "src/core/model_steps.h"
#include "utils/datagen.h"

namespace {

using namespace vexo::samples;

constexpr uint64_t kCtxAddr = 0x100000;
constexpr uint64_t kTensorBytes = 64;  // 16 int32 values
constexpr int kTensors = 4;

ModelSpec four_in_four_out() {
  StageSpec stage;
  for (int i = 0; i < 2 * kTensors; ++i) {
    TensorSpec tensor;
    tensor.name = (i < kTensors ? "in" : "out") + std::to_string(i % kTensors);
    tensor.dtype = BM_INT32;
    tensor.shape = {kTensorBytes / 4};
    tensor.addr = kCtxAddr + i * kTensorBytes;
    (i < kTensors ? stage.inputs : stage.outputs).push_back(tensor);
  }
  stage.ctx_addr = kCtxAddr;
  stage.ctx_sizes = {2 * kTensors * kTensorBytes};
  stage.coeff_addr = 0x1000;
  stage.groups = {GroupSpec{{Bdc{}}, {gdma_copy(stage.inputs[0].addr, stage.outputs[0].addr, 1, kTensorBytes)}}};
  ModelSpec model;
  model.nets.push_back(NetSpec{"copy", 0, {stage}});
  return model;
}

// The runtime on the model, its inputs uploaded once; freed at exit.
class OpenRuntime {
 public:
  OpenRuntime()
      : path_((std::filesystem::temp_directory_path() / ("runtime_bench_" + std::to_string(getpid()) + ".bmodel"))
                  .string()) {
    save_model(four_in_four_out(), path_);
    runtime = minirun::vexoruntime_init(path_.c_str(), 0);
    if (!runtime) throw std::runtime_error("cannot open the model");
    std::vector<int32_t> values(kTensorBytes / 4, 7);
    for (size_t i = 0; i < kTensors; ++i) {
      minirun::vexoruntime_set_input_s2d(runtime, i, values.data(), kTensorBytes);
    }
    minirun::vexoruntime_run(runtime, false);  // warms the device pages
  }
  ~OpenRuntime() {
    minirun::vexoruntime_free(runtime);
    std::remove(path_.c_str());
  }
  minirun::vexoruntime runtime = nullptr;

 private:
  std::string path_;
};

OpenRuntime& open_runtime() {
  static OpenRuntime open;
  return open;
}

void BM_RunModel(benchmark::State& state) {
  divudida::ModelInfo& model = open_runtime().runtime->model_info;
  for (auto _ : state) divudida::run_model(model, 0, 0);
}
BENCHMARK(BM_RunModel);

void BM_VexoruntimeRun(benchmark::State& state) {
  minirun::vexoruntime runtime = open_runtime().runtime;
  for (auto _ : state) minirun::vexoruntime_run(runtime, false);
}
BENCHMARK(BM_VexoruntimeRun);

}  // namespace
