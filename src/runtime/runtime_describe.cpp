// What a general runtime's model holds, read from its description: any net
// and stage, without selecting it and without touching the device.
#include <string>
#include <vector>

#include "runtime/miniruntime.h"
#include "src/utils/guard.h"
#include "src/utils/logs.h"

using minilog::guarded;
using minilog::log_error;

namespace {

const divudida::NetInfo* net_at(vexoruntime runtime, size_t net_idx) {
  if (!runtime) {
    log_error("Invalid runtime");
    return nullptr;
  }
  const std::vector<divudida::NetInfo>& nets = runtime->model_info.nets;
  if (net_idx >= nets.size()) {
    log_error("Net index ", net_idx, " is out of range: the model has ", nets.size(), " nets");
    return nullptr;
  }
  return &nets[net_idx];
}

const divudida::StageInfo* stage_at(vexoruntime runtime, size_t net_idx, size_t stage_idx) {
  const divudida::NetInfo* net = net_at(runtime, net_idx);
  if (!net) return nullptr;
  if (stage_idx >= net->stages.size()) {
    log_error("Stage index ", stage_idx, " is out of range: net[", net->name, "] has ", net->stages.size(),
              " stages");
    return nullptr;
  }
  return &net->stages[stage_idx];
}

const std::vector<divudida::TensorInfo>* tensors_of(vexoruntime runtime, size_t net_idx, size_t stage_idx,
                                                    char io_type) {
  const divudida::StageInfo* stage = stage_at(runtime, net_idx, stage_idx);
  if (!stage) return nullptr;
  if (io_type == 'i' || io_type == 'I') return &stage->input_tensor;
  if (io_type == 'o' || io_type == 'O') return &stage->output_tensor;
  log_error("Invalid io_type '", io_type, "': 'i' for inputs, 'o' for outputs");
  return nullptr;
}

}  // namespace

// Defined at global scope, where vexo.h declares them; miniruntime.h brings
// them into minirun.
extern "C" {

size_t vexoruntime_get_net_count(vexoruntime runtime) {
  return guarded(
      "vexoruntime_get_net_count",
      [&]() -> size_t {
        if (!runtime) log_error("Invalid runtime");
        return runtime ? runtime->model_info.nets.size() : 0;
      },
      size_t{0});
}

const char* vexoruntime_get_net_name(vexoruntime runtime, size_t net_idx) {
  return guarded(
      "vexoruntime_get_net_name",
      [&]() -> const char* {
        const divudida::NetInfo* net = net_at(runtime, net_idx);
        return net ? net->name.c_str() : nullptr;
      },
      nullptr);
}

size_t vexoruntime_get_stage_count(vexoruntime runtime, size_t net_idx) {
  return guarded(
      "vexoruntime_get_stage_count",
      [&]() -> size_t {
        const divudida::NetInfo* net = net_at(runtime, net_idx);
        return net ? net->stages.size() : 0;
      },
      size_t{0});
}

size_t vexoruntime_get_tensor_count(vexoruntime runtime, size_t net_idx, size_t stage_idx, char io_type) {
  return guarded(
      "vexoruntime_get_tensor_count",
      [&]() -> size_t {
        const std::vector<divudida::TensorInfo>* tensors = tensors_of(runtime, net_idx, stage_idx, io_type);
        return tensors ? tensors->size() : 0;
      },
      size_t{0});
}

bool vexoruntime_get_tensor_desc(vexoruntime runtime, size_t net_idx, size_t stage_idx, char io_type,
                                 size_t tensor_idx, vexo_tensor_desc* desc) {
  return guarded(
      "vexoruntime_get_tensor_desc",
      [&]() -> bool {
        const std::vector<divudida::TensorInfo>* tensors = tensors_of(runtime, net_idx, stage_idx, io_type);
        if (!tensors) return false;
        if (tensor_idx >= tensors->size()) {
          log_error("Tensor index ", tensor_idx, " is out of range: the stage has ", tensors->size(), " ",
                    io_type == 'i' || io_type == 'I' ? "inputs" : "outputs");
          return false;
        }
        if (!desc) {
          log_error("Invalid desc: null");
          return false;
        }
        const divudida::TensorInfo& info = (*tensors)[tensor_idx];
        desc->name = info.name.c_str();
        desc->dtype = static_cast<int>(info.data_type);
        desc->dims = info.shape.size();
        desc->shape = info.shape.data();
        desc->size = info.size;
        return true;
      },
      false);
}

ModelInfo* vexoruntime_get_model_info(vexoruntime runtime) {
  return guarded(
      "vexoruntime_get_model_info",
      [&]() -> ModelInfo* {
        if (!runtime) log_error("Invalid runtime");
        return runtime ? &runtime->model_info : nullptr;
      },
      nullptr);
}

}  // extern "C"
