// The general runtime over the execution core and tensor records.
#include "runtime/miniruntime.h"
#include "src/runtime/miniruntime_internal.h"
#include "src/tensor/tensor_internal.h"
#include "src/core/model_steps.h"

#include <memory>
#include <string>

#include "src/utils/guard.h"
#include "src/utils/logs.h"

namespace minirun {

using minilog::log_error;
using minilog::guarded;

namespace {

using TensorPtr = std::unique_ptr<VexoTensor, minitensor::TensorDeleter>;

// A window onto `block` for one tensor of a stage.
TensorPtr make_record(const divudida::TensorInfo& info, uint64_t addr, bool on_device, int device_id,
                      bm_handle_t bm_handle, const bm_device_mem_t& block) {
  TensorPtr tensor(minitensor::vexotensor_create());
  if (!tensor) return tensor;
  minitensor::copy_c_string(tensor->name, info.name);
  tensor->dims = info.shape.size();
  for (size_t j = 0; j < tensor->dims && j < minitensor::kTensorShapeSlots; ++j) tensor->shape[j] = info.shape[j];
  tensor->size = info.size;
  tensor->dtype = static_cast<int>(info.data_type);
  tensor->device_id = device_id;
  tensor->bm_handle = bm_handle;
  tensor->is_in_device = on_device;
  minitensor::vexotensor_set_device_mem_by_addr(tensor.get(), block, addr);
  return tensor;
}

bool valid_runtime(const VexoRuntime* runtime) {
  if (!runtime) log_error("Invalid runtime");
  return runtime != nullptr;
}

void select_stage(VexoRuntime& runtime, size_t net_idx, size_t stage_idx) {
  const std::vector<divudida::NetInfo>& nets = runtime.model_info.nets;
  if (net_idx >= nets.size()) {
    log_error("Net index ", net_idx, " is out of range: the model has ", nets.size(), " nets");
    return;
  }
  if (stage_idx >= nets[net_idx].stages.size()) {
    log_error("Stage index ", stage_idx, " is out of range: net[", nets[net_idx].name, "] has ",
              nets[net_idx].stages.size(), " stages");
    return;
  }
  runtime.cur_net_idx = net_idx;
  runtime.cur_stage_idx = stage_idx;
  const divudida::StageInfo& stage = nets[net_idx].stages[stage_idx];
  const bm_device_mem_t block = stage.io_alone ? stage.io_device : runtime.model_info.neuron_device;
  vexoruntime_free_tensor_vector(runtime.input_tensors);
  vexoruntime_free_tensor_vector(runtime.output_tensors);
  vexoruntime_set_io_tensors(runtime.device_id, runtime.bm_handle, block, stage, runtime.input_tensors,
                             runtime.output_tensors);
}

// The input or output records for an io_type letter, or null.
std::vector<VexoTensor*>* io_list(VexoRuntime& runtime, char io_type) {
  if (io_type == 'i' || io_type == 'I') return &runtime.input_tensors;
  if (io_type == 'o' || io_type == 'O') return &runtime.output_tensors;
  return nullptr;
}

VexoTensor* record_at(const std::vector<VexoTensor*>& records, size_t tensor_idx, const char* kind) {
  if (tensor_idx >= records.size()) {
    log_error("Tensor index ", tensor_idx, " is out of range: the stage has ", records.size(), " ", kind);
    return nullptr;
  }
  return records[tensor_idx];
}

VexoTensor* input_at(VexoRuntime* runtime, size_t tensor_idx) {
  return valid_runtime(runtime) ? record_at(runtime->input_tensors, tensor_idx, "inputs") : nullptr;
}

void run(VexoRuntime& runtime, bool output_to_host) {
  try {
    for (VexoTensor* input : runtime.input_tensors) {
      if (input->is_in_device) continue;
      // An input never given data leaves the stage to run on what its block
      // holds: a warning, since the run goes on; a failed upload fails it.
      if (input->is_have_data) {
        minitensor::upload(*input);
      } else {
        minilog::log_at<2>("No host data to sync to device");
      }
    }
    divudida::run_model(runtime.model_info, runtime.cur_net_idx, runtime.cur_stage_idx);
    for (VexoTensor* output : runtime.output_tensors) output->is_in_device = true;
    if (!output_to_host) return;
    for (VexoTensor* output : runtime.output_tensors) minitensor::download(*output);
  } catch (...) {
    // Neither copy of an output holds this run's result: no earlier data
    // may pass for it.
    for (VexoTensor* output : runtime.output_tensors) output->is_have_data = output->is_in_device = false;
    throw;
  }
}

bool run_guarded(const char* function, VexoRuntime* runtime, bool output_to_host) {
  return guarded(
      function,
      [&] {
        if (!valid_runtime(runtime)) return false;
        run(*runtime, output_to_host);
        return true;
      },
      false);
}

}  // namespace

bool vexoruntime_set_io_tensors(int device_id, bm_handle_t bm_handle, bm_device_mem_t io_device,
                                const divudida::StageInfo& stage_info, std::vector<VexoTensor*>& input_tensors,
                                std::vector<VexoTensor*>& output_tensors) {
  const struct {
    const std::vector<divudida::TensorInfo>& infos;
    const std::vector<uint64_t>& addrs;
    bool on_device;
    std::vector<VexoTensor*>& records;
  } sides[] = {{stage_info.input_tensor, stage_info.input_tensor_global_addr, false, input_tensors},
               {stage_info.output_tensor, stage_info.output_tensor_global_addr, true, output_tensors}};
  std::vector<TensorPtr> built[2];
  for (size_t s = 0; s < 2; ++s) {
    if (sides[s].addrs.size() < sides[s].infos.size()) {
      log_error("The stage has device addresses for ", sides[s].addrs.size(), " of its ", sides[s].infos.size(),
                " tensors");
      return false;
    }
    for (size_t i = 0; i < sides[s].infos.size(); ++i) {
      built[s].push_back(
          make_record(sides[s].infos[i], sides[s].addrs[i], sides[s].on_device, device_id, bm_handle, io_device));
      if (!built[s].back()) return false;
    }
  }
  for (size_t s = 0; s < 2; ++s) {
    sides[s].records.reserve(sides[s].records.size() + built[s].size());
    for (TensorPtr& record : built[s]) sides[s].records.push_back(record.release());
  }
  return true;
}

void vexoruntime_free_tensor_vector(std::vector<VexoTensor*>& tensors) {
  for (VexoTensor* tensor : tensors) minitensor::vexotensor_destroy(tensor);
  tensors.clear();
}

void vexoruntime_free_tensor_vector(std::vector<std::vector<VexoTensor*>>& tensors) {
  for (auto& records : tensors) vexoruntime_free_tensor_vector(records);
  tensors.clear();
}

bool decryption_plugin_given(const char* function, const char* decrypt_lib) {
  if (decrypt_lib && *decrypt_lib) return true;
  log_error(function, ": no decryption plug-in given");
  return false;
}

namespace {

vexoruntime init_runtime(const char* function, const char* bmodel_path, int device_id,
                         const std::string& decrypt_lib) {
  return open_state<VexoRuntime>(function, bmodel_path, device_id, decrypt_lib, [&](VexoRuntime& runtime) {
    runtime.device_id = device_id;
    select_stage(runtime, 0, 0);
  });
}

}  // namespace

}  // namespace minirun

// The exported functions, at global scope as vexo.h declares them.
using namespace minirun;

extern "C" {

vexoruntime vexoruntime_init(const char* bmodel_path, int device_id) {
  return init_runtime("vexoruntime_init", bmodel_path, device_id, "");
}

vexoruntime vexoruntime_init_decrypt(const char* bmodel_path, int device_id, const char* decrypt_lib) {
  if (!decryption_plugin_given("vexoruntime_init_decrypt", decrypt_lib)) return nullptr;
  return init_runtime("vexoruntime_init_decrypt", bmodel_path, device_id, decrypt_lib);
}

void vexoruntime_set_net_stage(vexoruntime runtime, size_t net_idx, size_t stage_idx) {
  guarded("vexoruntime_set_net_stage", [&] {
    if (valid_runtime(runtime)) select_stage(*runtime, net_idx, stage_idx);
  });
}

size_t vexoruntime_get_net_num(vexoruntime runtime, const char* net_name) {
  return guarded(
      "vexoruntime_get_net_num",
      [&]() -> size_t {
        if (!runtime || !net_name) {
          log_error("Invalid runtime or net_name");
          return 0;
        }
        const auto found = runtime->model_info.net_name_to_index.find(net_name);
        if (found == runtime->model_info.net_name_to_index.end()) {
          log_error("Net not found: ", net_name);
          return 0;
        }
        return found->second;
      },
      size_t{0});
}

vexotensor vexoruntime_get_io_tensor(vexoruntime runtime, char io_type, size_t tensor_idx) {
  return guarded(
      "vexoruntime_get_io_tensor",
      [&]() -> vexotensor {
        if (!valid_runtime(runtime)) return nullptr;
        const std::vector<VexoTensor*>* records = io_list(*runtime, io_type);
        if (!records) {
          log_error("Invalid io_type");
          return nullptr;
        }
        return record_at(*records, tensor_idx, records == &runtime->input_tensors ? "inputs" : "outputs");
      },
      nullptr);
}

size_t vexoruntime_get_io_count(vexoruntime runtime, char io_type) {
  if (!valid_runtime(runtime)) return 0;
  const std::vector<VexoTensor*>* records = io_list(*runtime, io_type);
  return records ? records->size() : runtime->output_tensors.size();
}

void vexoruntime_set_input_s2d(vexoruntime runtime, size_t tensor_idx, void* data, size_t size) {
  guarded("vexoruntime_set_input_s2d", [&] {
    if (VexoTensor* input = input_at(runtime, tensor_idx)) minitensor::upload_bytes(input, data, size);
  });
}

void vexoruntime_set_input_d2d(vexoruntime runtime, size_t tensor_idx, vexotensor src_tensor) {
  guarded("vexoruntime_set_input_d2d", [&] {
    VexoTensor* input = input_at(runtime, tensor_idx);
    if (!input) return;
    // A larger source would overwrite the tensors next to the input.
    if (src_tensor && src_tensor->size > input->size) {
      log_error("Source tensor of ", src_tensor->size, " bytes does not fit input[", tensor_idx, "] of ",
                input->size, " bytes");
      return;
    }
    // The copy marks the input as holding device data only when it happened.
    minitensor::copy_on_device(runtime->bm_handle, input, src_tensor, 0, 0, src_tensor ? src_tensor->size : 0);
  });
}

void vexoruntime_run(vexoruntime runtime, bool output_to_host) {
  run_guarded("vexoruntime_run", runtime, output_to_host);
}

bool vexoruntime_run_checked(vexoruntime runtime, bool output_to_host) {
  return run_guarded("vexoruntime_run_checked", runtime, output_to_host);
}

void vexoruntime_free(vexoruntime runtime) {
  guarded("vexoruntime_free", [&] {
    if (runtime) release_state(runtime);
  });
}

}  // extern "C"
