// A model file through the whole loading pipeline on the simulated device,
// then every stage run, then freed.
#include <vector>

#include "entries.h"
#include "runtime/miniruntime.h"
#include "scratch_file.h"

namespace vexo::fuzz {
namespace {

// Bounds that keep one execution short; what a file may declare is checked
// by the library, these only limit what the entry feeds and runs.
constexpr size_t kMaxStages = 32;
constexpr size_t kMaxTensorBytes = 16 << 20;

bool tensors_fit(minirun::vexoruntime runtime, char io_type) {
  for (size_t i = 0; i < minirun::vexoruntime_get_io_count(runtime, io_type); ++i) {
    const minitensor::vexotensor tensor = minirun::vexoruntime_get_io_tensor(runtime, io_type, i);
    if (tensor == nullptr || tensor->size > kMaxTensorBytes) return false;
  }
  return true;
}

void run_stage(minirun::vexoruntime runtime, size_t net, size_t stage) {
  minirun::vexoruntime_set_net_stage(runtime, net, stage);
  if (!tensors_fit(runtime, 'i')) return;
  std::vector<std::vector<uint8_t>> inputs;
  for (size_t i = 0; i < minirun::vexoruntime_get_io_count(runtime, 'i'); ++i) {
    inputs.emplace_back(minirun::vexoruntime_get_io_tensor(runtime, 'i', i)->size);
    minirun::vexoruntime_set_input_s2d(runtime, i, inputs.back().data(), inputs.back().size());
  }
  minirun::vexoruntime_run(runtime, tensors_fit(runtime, 'o'));
}

}  // namespace

int load_entry(const uint8_t* data, size_t size) {
  static const ScratchFile file("load.bmodel");
  file.write(data, size);
  minirun::vexoruntime runtime = minirun::vexoruntime_init(file.path().c_str(), 0);
  if (runtime == nullptr) return 0;
  size_t runs = 0;
  for (size_t net = 0; net < runtime->model_info.nets.size(); ++net) {
    for (size_t stage = 0; stage < runtime->model_info.nets[net].stages.size() && runs < kMaxStages; ++stage) {
      run_stage(runtime, net, stage);
      ++runs;
    }
  }
  minirun::vexoruntime_free(runtime);
  return 0;
}

}  // namespace vexo::fuzz
