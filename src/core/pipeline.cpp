// The loading pipeline in its fixed order, launching a stage, and release.
#include <memory>

#include "bmodel/bmodel.h"
#include "src/core/core_internal.h"
#include "src/core/tpu_kernel_runtime.h"
#include "utils/device.h"

namespace divudida {

using minilog::fail_with;

namespace {

// Releases every device area the description records and the kernel module,
// in the order nets (coefficients, then per stage commands, IR, io), the
// activation area, the module. Unrecorded areas are skipped, so this serves
// a fully placed model and one whose placement stopped half way.
void release_device_resources(ModelInfo& model) {
  const bm_handle_t handle = model.bm_handle;
  for (NetInfo& net : model.nets) {
    for (auto& entry : net.coeff_start_and_device_map) detail::release_area(handle, entry.second);
    net.coeff_start_and_device_map.clear();
    for (StageInfo& stage : net.stages) {
      stage.coeff_device = sg_device_mem_t{};
      detail::release_area(handle, stage.bdc_cmd_device);
      detail::release_area(handle, stage.gdma_cmd_device);
      detail::release_area(handle, stage.ir_device);
      detail::release_area(handle, stage.io_device);
    }
  }
  detail::release_area(handle, model.neuron_device);
  delete model.tpu_kernel_runtime;
  model.tpu_kernel_runtime = nullptr;
}

// A failed launch leaves the model placed: later runs may proceed.
void launch(ModelInfo& model, ApiInfo& api) {
  std::vector<uint8_t>& record = api.api_data.at(0);
  try {
    model.tpu_kernel_runtime->launch(api.api_id, record.data(), record.size());
  } catch (const minilog::LoggedError& e) {
    throw ModelError(e.what());
  }
}

// The subnets a run of the stage launches, in order: from subnet 0 along the
// first entry of each next_subnet_ids until -1. The whole chain is checked
// before anything runs, and a chain longer than the subnet list is a cycle.
std::vector<SubNetInfo*> subnet_chain(NetInfo& net, size_t stage_idx) {
  StageInfo& stage = net.stages[stage_idx];
  std::vector<SubNetInfo*> chain;
  int64_t idx = 0;
  while (idx != -1) {
    const std::string where = detail::stage_label(net, stage_idx);
    if (idx < 0 || static_cast<size_t>(idx) >= stage.subnets.size()) {
      fail_with<ModelError>(where, ": the subnet chain leaves the subnet list at index ", idx, " (", stage.subnets.size(),
           " subnets)");
    }
    if (chain.size() == stage.subnets.size()) fail_with<ModelError>(where, ": the subnet chain runs in a cycle");
    SubNetInfo& subnet = stage.subnets[idx];
    if (subnet.next_subnet_ids.empty()) fail_with<ModelError>(where, " subnet[", idx, "] names no next subnet");
    chain.push_back(&subnet);
    idx = subnet.next_subnet_ids[0];
  }
  return chain;
}

}  // namespace

void load_kernel_module(ModelInfo* model_info_p) {
  ModelInfo& model = *model_info_p;
  const bmodel::Binary range(model.kernel_module.start, model.kernel_module.size);
  const std::unique_ptr<uint8_t[]> image(new uint8_t[model.kernel_module.size]);
  model.model_ctx->read_binary(&range, image.get());
  auto runtime = std::make_unique<TPUKernelRuntimeSingleton>(
      model.bm_handle, reinterpret_cast<const char*>(image.get()), model.kernel_module.size);
  if (!runtime->tpu_module) fail_with<ModelError>("Failed to load the kernel module of ", model.kernel_module.size, " bytes");
  model.kernel_func_id = static_cast<u32>(runtime->_multi_fullnet_func_id);
  model.kernel_func_id_dynamic = static_cast<u32>(runtime->_dynamic_fullnet_func_id);
  model.tpu_kernel_runtime = runtime.release();
}

void move_to_device(ModelInfo& model_info) {
  if (model_info.state != ModelState::parsed) {
    detail::require_state(model_info, ModelState::parsed, "place the model");
    fail_with<ModelError>("Cannot place the model: it is placed already");
  }
  ModelInfo* model_info_p = &model_info;
  try {
    load_kernel_module(model_info_p);
    malloc_coeff_neuron_on_device_and_set_offset(model_info_p);
    bdc_gdma_to_device(model_info_p);
    LOG_ELAPSED({ coeff_to_device(model_info_p, true); });
    ir_to_device(model_info_p);
  } catch (const ModelError&) {
    release_device_resources(model_info);
    model_info.state = ModelState::failed;
    throw;
  } catch (const std::exception& e) {
    release_device_resources(model_info);
    model_info.state = ModelState::failed;
    fail_with<ModelError>("Failed to place the model: ", e.what());
  }
  model_info.state = ModelState::placed;
}

void run_model(ModelInfo& model_info, size_t net_idx, size_t stage_idx) {
  detail::require_state(model_info, ModelState::launch_ready, "run the model");
  if (net_idx >= model_info.nets.size()) {
    fail_with<ModelError>("Net index ", net_idx, " is out of range: the model has ", model_info.nets.size(), " nets");
  }
  NetInfo& net = model_info.nets[net_idx];
  if (stage_idx >= net.stages.size()) {
    fail_with<ModelError>("Stage index ", stage_idx, " is out of range: net[", net.name, "] has ", net.stages.size(), " stages");
  }
  StageInfo& stage = net.stages[stage_idx];
  if (!runs_by_subnet(stage)) {
    launch(model_info, stage.api_info);
    return;
  }
  for (SubNetInfo* subnet : subnet_chain(net, stage_idx)) launch(model_info, subnet->api_info);
}

void free_model(ModelInfo& model_info) {
  if (model_info.state == ModelState::released) return;
  release_device_resources(model_info);
  delete model_info.model_ctx;
  model_info.model_ctx = nullptr;
  if (model_info.bm_handle) free_handle(model_info.bm_handle);
  model_info.bm_handle = nullptr;
  model_info.state = ModelState::released;
}

ModelInfo load_model(const char* filename, int device_id, const std::string& decrypt_lib) {
  ModelOwner model(read_bmodel(filename, device_id, decrypt_lib));
  move_to_device(*model);
  compile_io_addr(*model);
  fill_api_info(*model);
  return model.release();
}

}  // namespace divudida
