// The execution core's description of a loaded model: nets, stages,
// subnets, tensors, command groups, payload ranges and launch records, as
// the loading pipeline fills them. The low-level model functions
// (externc/model_api.h) and the flat description (externc/model_info_c.h)
// take it; the pipeline's steps are internal to the library.
//
// A description owns, through raw pointers, its reader, its kernel module
// and its device handle, which only free_model releases; it is move-only so
// that no two descriptions think they own the same device areas.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "bmlib_runtime.h"

namespace bmodel {
class ModelCtx;
}  // namespace bmodel

namespace divudida {

class TPUKernelRuntimeSingleton;
typedef TPUKernelRuntimeSingleton* TPUKernelRuntime;

typedef uint32_t u32;
typedef uint64_t u64;

// One range of the model file's payload.
struct BinaryInfo {
  u64 start = 0;
  u64 size = 0;
};

struct CmdGroup {
  u32 bdc_num = 0;
  u32 gdma_num = 0;
  u32 bdc_byte = 0;
  u32 gdma_byte = 0;
  BinaryInfo bdc_cmd;
  BinaryInfo gdma_cmd;
};

struct TensorInfo {
  std::string name;
  u32 data_type = 0;
  int32_t gmem_stmode = 0;
  u64 device_addr = 0;  // compiled address
  u64 size = 0;
  std::vector<u64> shape;
  u32 mem_type = 0;
  float scale = 0;
  u32 cpu_addr = 0;
  u32 pad_h = 0;
  int32_t zero_point = 0;
  int32_t hidden = 0;
  int32_t index = 0;
};

// The launch record of one stage or subnet.
struct ApiInfo {
  int32_t api_id = 0;
  std::vector<std::vector<uint8_t>> api_data;  // the launch sends api_data[0]
  std::vector<u32> input_addr_offset;
  std::vector<u32> output_addr_offset;
};

struct SubNetInfo {
  ApiInfo api_info;
  int32_t subnet_mode = 0;
  int32_t is_dynamic = 0;
  int32_t subnet_id = 0;
  std::vector<int32_t> next_subnet_ids;  // first entry: index of the next subnet, -1 ends
  std::vector<CmdGroup> cmd_group;
  std::vector<TensorInfo> input_tensor;
  std::vector<TensorInfo> output_tensor;
  std::vector<u64> input_tensor_global_addr;
  std::vector<u64> output_tensor_global_addr;
  u32 ir_offset = 0;
  u32 ir_len = 0;
  u64 ir_global_addr = 0;
};

struct StageInfo {
  ApiInfo api_info;
  std::vector<CmdGroup> cmd_group;
  std::vector<TensorInfo> input_tensor;
  std::vector<TensorInfo> output_tensor;
  std::vector<u64> input_tensor_global_addr;
  std::vector<u64> output_tensor_global_addr;
  BinaryInfo coeff;
  u64 coeff_addr = 0;  // compiled addresses unless named global
  u64 coeff_size = 0;
  u64 coeff_offset = 0;  // device minus compiled address, modulo 2^64
  bool io_alone = false;
  u64 io_addr = 0;
  u64 io_size = 0;
  u64 io_offset = 0;
  u64 io_global_addr = 0;
  u64 neuron_addr = 0;
  u64 neuron_size = 0;
  u64 neuron_offset = 0;
  std::vector<u64> ctx_borders;
  bm_device_mem_t io_device{};
  sg_device_mem_t coeff_device{};
  bm_device_mem_t bdc_cmd_device{};
  bm_device_mem_t gdma_cmd_device{};
  bm_device_mem_t ir_device{};
  BinaryInfo binary_ir;
  size_t subnet_num = 0;
  std::vector<SubNetInfo> subnets;
  int32_t is_dynamic = 0;
};

struct NetInfo {
  std::string name;
  std::vector<StageInfo> stages;
  size_t stage_num = 0;
  int addr_mode = 0;
  std::unordered_map<u64, u64> coeff_start_and_size_map;
  std::unordered_map<u64, sg_mem_desc> coeff_start_and_device_map;
  std::unordered_map<int, ApiInfo> stage_api_info_map;
};

// How far a description has come through the pipeline.
enum class ModelState { empty, parsed, placed, addressed, launch_ready, failed, released };

struct ModelInfo {
  ModelInfo() = default;
  ModelInfo(ModelInfo&&) = default;
  ModelInfo& operator=(ModelInfo&&) = default;
  ModelInfo(const ModelInfo&) = delete;
  ModelInfo& operator=(const ModelInfo&) = delete;

  bmodel::ModelCtx* model_ctx = nullptr;
  int device_id = 0;
  bm_handle_t bm_handle = nullptr;
  std::string chip_name;
  BinaryInfo kernel_module;
  u32 kernel_func_id = 0;
  u32 kernel_func_id_dynamic = 0;
  std::vector<NetInfo> nets;
  size_t net_num = 0;
  TPUKernelRuntime tpu_kernel_runtime = nullptr;
  u64 neuron_size = 0;
  u64 neuron_addr = 0;
  bm_device_mem_t neuron_device{};
  u64 neuron_global_addr = 0;
  std::unordered_map<std::string, size_t> net_name_to_index;
  ModelState state = ModelState::empty;
};

}  // namespace divudida
