#include "src/core/core_internal.h"

namespace divudida::detail {

using minilog::fail_with;

void release_area(bm_handle_t handle, bm_device_mem_t& mem) {
  if (is_allocated(mem)) bm_free_device(handle, mem);
  mem = bm_device_mem_t{};
}

void release_area(bm_handle_t handle, sg_device_mem_t& mem) {
  if (is_allocated(mem)) sg_free_device(handle, mem);
  mem = sg_device_mem_t{};
}

PendingArea<bm_device_mem_t> malloc_area(bm_handle_t handle, u64 size, const std::string& what) {
  if (size > UINT32_MAX) fail_with<ModelError>(what, " of ", size, " bytes does not fit a 32-bit device allocation");
  bm_device_mem_t mem{};
  const bm_status_t status = bm_malloc_device_byte(handle, &mem, static_cast<unsigned int>(size));
  if (status != BM_SUCCESS) fail_with<ModelError>("Failed to allocate ", size, " bytes of device memory for ", what, ", status: ", status);
  return PendingArea<bm_device_mem_t>(handle, mem);
}

void upload(bm_handle_t handle, const bm_device_mem_t& dst, const void* src, u64 size, const std::string& what) {
  const bm_status_t status =
      bm_memcpy_s2d_partial(handle, dst, const_cast<void*>(src), static_cast<unsigned int>(size));
  if (status != BM_SUCCESS) fail_with<ModelError>("Failed to upload ", what, " to the device, status: ", status);
}

std::string stage_label(const NetInfo& net, size_t stage_idx) {
  return "net[" + net.name + "] stage[" + std::to_string(stage_idx) + "]";
}

namespace {
const char* state_name(ModelState state) {
  switch (state) {
    case ModelState::empty: return "not loaded";
    case ModelState::parsed: return "parsed";
    case ModelState::placed: return "placed";
    case ModelState::addressed: return "addressed";
    case ModelState::launch_ready: return "ready";
    case ModelState::failed: return "failed to load";
    case ModelState::released: return "released";
  }
  return "unknown";
}
}  // namespace

void require_state(const ModelInfo& model, ModelState at_least, const char* step) {
  const bool usable = model.state != ModelState::failed && model.state != ModelState::released;
  if (!usable || static_cast<int>(model.state) < static_cast<int>(at_least)) {
    fail_with<ModelError>("Cannot ", step, ": the model is ", state_name(model.state));
  }
}

}  // namespace divudida::detail
