// Device memory layout of a model and the coefficient upload.
//
// One activation area shared by every net and stage, one coefficient area per
// distinct coefficient range of a net, and one io area per stage of a net
// whose inputs and outputs live apart (addr_mode 1). Each area is recorded in
// the description as soon as it is obtained, so that a failure later in the
// pipeline releases it.
#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

#include "bmodel/bmodel.h"
#include "src/core/core_internal.h"

namespace divudida {

using minilog::fail_with;

namespace {

void place_stage(ModelInfo& model, NetInfo& net, size_t stage_idx) {
  StageInfo& stage = net.stages[stage_idx];
  const std::string label = detail::stage_label(net, stage_idx);
  // Dynamic stages record no coefficient range: they share the area of the
  // static range at payload start 0, if there is one.
  const auto area = net.coeff_start_and_device_map.find(stage.is_dynamic ? 0 : stage.coeff.start);
  if (area != net.coeff_start_and_device_map.end()) {
    if (stage.coeff_size > area->second.size) {
      fail_with<ModelError>(label, " coefficients of ", stage.coeff_size, " bytes exceed their area of ", area->second.size,
           " bytes");
    }
    stage.coeff_device = area->second;
    stage.coeff_offset = area->second.u.device.device_addr - stage.coeff_addr;
  } else {
    stage.coeff_device = sg_device_mem_t{};
    stage.coeff_offset = 0;
  }

  if (stage.neuron_size > model.neuron_size) {
    fail_with<ModelError>(label, " needs ", stage.neuron_size, " bytes of activations, more than the model's activation area of ",
         model.neuron_size, " bytes");
  }
  stage.neuron_offset = model.neuron_global_addr - stage.neuron_addr;

  if (net.addr_mode == 1) {
    stage.io_device = detail::malloc_area(model.bm_handle, stage.io_size, label + " io area").keep();
    stage.io_global_addr = stage.io_device.u.device.device_addr;
    stage.io_offset = stage.io_global_addr - stage.io_addr;
  } else {
    stage.io_offset = stage.neuron_offset;
  }
}

}  // namespace

void malloc_coeff_neuron_on_device_and_set_offset(ModelInfo* model_info_p) {
  ModelInfo& model = *model_info_p;
  model.neuron_device = detail::malloc_area(model.bm_handle, model.neuron_size, "the activation area").keep();
  model.neuron_global_addr = model.neuron_device.u.device.device_addr;

  for (NetInfo& net : model.nets) {
    for (const auto& [start, size] : net.coeff_start_and_size_map) {
      sg_device_mem_t mem{};
      const bm_status_t status = sg_malloc_device_byte(model.bm_handle, &mem, size);
      if (status != BM_SUCCESS) {
        fail_with<ModelError>("Failed to allocate ", size, " bytes of device memory for the coefficients of net[", net.name,
             "], status: ", status);
      }
      net.coeff_start_and_device_map[start] = mem;
    }
    for (size_t j = 0; j < net.stages.size(); ++j) place_stage(model, net, j);
  }
}

namespace {

// Copies one payload range to a device area block by block through `buffer`,
// which holds `block` bytes: at most one block of coefficients is in host
// memory at a time. Before a block is uploaded, the kernel is asked to read
// the next one (this range's, or else the first of `next`, the range
// uploaded after this one) into the page cache: from a cold disk, reading
// and uploading then overlap, without a thread.
void upload_in_blocks(ModelInfo& model, const bmodel::Binary& range, const bmodel::Binary* next,
                      sg_mem_desc device_mem, uint8_t* buffer, u64 block) {
  for (u64 done = 0; done < range.size();) {
    const u64 chunk = std::min(block, range.size() - done);
    model.model_ctx->read_binary(&range, done, buffer, chunk);
    if (done + chunk < range.size()) {
      model.model_ctx->prefetch_binary(&range, done + chunk, std::min(block, range.size() - done - chunk));
    } else if (next) {
      model.model_ctx->prefetch_binary(next, 0, std::min(block, next->size()));
    }
    const bm_status_t status = sg_memcpy_s2d_partial(model.bm_handle, device_mem, buffer, chunk);
    if (status != BM_SUCCESS) fail_with<ModelError>("Failed to upload coefficients to the device, status: ", status);
    device_mem.u.device.device_addr += chunk;
    device_mem.size -= chunk;
    done += chunk;
  }
}

u64 block_size(unsigned long default_single_size) {
  return default_single_size ? default_single_size : DEFAULT_BLOCK_SIZE;
}

}  // namespace

void move_huge_coeff_to_device_serial(ModelInfo* model_info_p, const bmodel::Binary* huge_binary,
                                      sg_mem_desc device_mem, unsigned long default_single_size) {
  const u64 block = std::min(block_size(default_single_size), huge_binary->size());
  const std::unique_ptr<uint8_t[]> buffer(new uint8_t[block]);
  upload_in_blocks(*model_info_p, *huge_binary, nullptr, device_mem, buffer.get(), block);
}

void coeff_to_device(ModelInfo* model_info_p, bool is_huge) {
  ModelInfo& model = *model_info_p;
  // One buffer serves every range: a block, or the largest range when the
  // ranges are copied whole.
  u64 largest = 0;
  for (const NetInfo& net : model.nets) {
    for (const auto& entry : net.coeff_start_and_size_map) largest = std::max(largest, entry.second);
  }
  const u64 buffer_size = is_huge ? std::min(block_size(0), largest) : largest;
  const std::unique_ptr<uint8_t[]> buffer(new uint8_t[buffer_size]);
  std::vector<std::pair<bmodel::Binary, sg_mem_desc>> uploads;
  for (NetInfo& net : model.nets) {
    for (const auto& [start, size] : net.coeff_start_and_size_map) {
      uploads.emplace_back(bmodel::Binary(start, size), net.coeff_start_and_device_map.at(start));
    }
  }
  for (size_t i = 0; i < uploads.size(); ++i) {
    const auto& [range, device_mem] = uploads[i];
    upload_in_blocks(model, range, i + 1 < uploads.size() ? &uploads[i + 1].first : nullptr, device_mem,
                     buffer.get(), is_huge ? buffer_size : range.size());
  }
}

}  // namespace divudida
